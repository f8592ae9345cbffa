#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "exchange/cache_folder.h"

using namespace kavrin;

namespace {

void touch(const QString& path) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("x");
}

std::vector<int> frames_of(const std::map<int, QString>& files) {
    std::vector<int> frames;
    for (auto& [f, path] : files)
        frames.push_back(f);
    return frames;
}

}  // namespace

TEST(CacheFolder, FrameNumbersFromNames) {
    EXPECT_EQ(cache_frame_number("a.01.bin"), 1);
    EXPECT_EQ(cache_frame_number("wine.0012.bin"), 12);
    EXPECT_EQ(cache_frame_number("fluid_v2-0007.bin"), 7);
    EXPECT_EQ(cache_frame_number("notes.bin.txt"), 0);  // no separator and no number
    EXPECT_EQ(cache_frame_number("42.bin"), 42);
}

TEST(CacheFolder, ScanTakesEveryFrameInNumericOrderAndTheFirstNameOfANumber) {
    QTemporaryDir dir;
    // Created out of order: the scan must not depend on the order the file system lists them.
    for (const char* name : {"a.10.bin", "a.2.bin", "readme.txt", "a.1.bin", "a.01.bin"})
        touch(dir.path() + "/" + name);
    const cache_scan scan = scan_cache_folder(dir.path());
    EXPECT_EQ(frames_of(scan.files), (std::vector<int>{1, 2, 10}));
    EXPECT_EQ(scan.files.at(1), dir.path() + "/a.01.bin");  // first in name order
    ASSERT_EQ(scan.duplicates.size(), 1u);
    EXPECT_EQ(scan.duplicates[0], std::make_pair(1, QString("a.1.bin")));

    // A saved sequence across a change of digits reads back whole.
    QTemporaryDir saved;
    std::vector<int> frames;
    for (int f = 998; f <= 1009; ++f)
        frames.push_back(f);
    for (const auto& [f, path] : plan_cache_save(saved.path(), frames))
        touch(path);
    EXPECT_EQ(frames_of(scan_cache_folder(saved.path()).files), frames);

    QTemporaryDir none;
    touch(none.path() + "/frame.txt");
    QDir(none.path()).mkdir("sub.bin");  // folders do not count
    EXPECT_TRUE(scan_cache_folder(none.path()).files.empty());
}

TEST(CacheFolder, SaveNamesArePaddedToTheFrameCount) {
    std::vector<int> nine{0, 1, 2, 3, 4, 5, 6, 7, 8};
    auto files = plan_cache_save("/tmp/x", nine);
    EXPECT_EQ(files.at(0), "/tmp/x/x.00.bin");
    EXPECT_EQ(files.at(8), "/tmp/x/x.08.bin");
    nine.push_back(9);
    EXPECT_EQ(plan_cache_save("/tmp/x", nine).at(9), "/tmp/x/x.009.bin");
    std::vector<int> many(120);
    for (int i = 0; i < 120; ++i)
        many[size_t(i)] = i;
    EXPECT_EQ(plan_cache_save("C:/out/wine", many).at(12), "C:/out/wine/wine.0012.bin");
    // What a save writes, a scan reads back frame for frame.
    EXPECT_EQ(cache_frame_number(QFileInfo(plan_cache_save("/o/w", many).at(107)).fileName()), 107);
    // At least the digits of the largest frame, so that name order is frame order.
    EXPECT_EQ(plan_cache_save("/o/w", {5, 12345}).at(5), "/o/w/w.00005.bin");
}

TEST(CacheFolder, AFolderWithFilesIsMovedAsideNeverMixed) {
    QTemporaryDir root;
    const QString folder = root.path() + "/wine";
    QDir().mkpath(folder);
    touch(folder + "/wine.01.bin");
    const QDateTime now(QDate(2026, 12, 8), QTime(17, 5, 9));
    QString moved;
    ASSERT_TRUE(empty_cache_folder(folder, now, &moved));
    EXPECT_EQ(moved, folder + "#2026 12 08 17 05 09");
    EXPECT_TRUE(QFile::exists(moved + "/wine.01.bin"));
    EXPECT_TRUE(QDir(folder).isEmpty());

    // A second save in the same second keeps both earlier caches.
    touch(folder + "/wine.02.bin");
    ASSERT_TRUE(empty_cache_folder(folder, now, &moved));
    EXPECT_EQ(moved, folder + "#2026 12 08 17 05 09 2");
    EXPECT_TRUE(QFile::exists(moved + "/wine.02.bin"));

    // An empty or missing folder is simply made.
    moved.clear();
    ASSERT_TRUE(empty_cache_folder(root.path() + "/fresh", now, &moved));
    EXPECT_TRUE(moved.isEmpty());
    EXPECT_TRUE(QDir(root.path() + "/fresh").exists());
}

TEST(CacheFolder, AFolderThatCannotBeMovedIsReported) {
    QTemporaryDir root;
    // A name that still fits, but not with the date and time behind it: the rename fails.
    const QString folder = root.path() + "/" + QString(240, 'c');
    ASSERT_TRUE(QDir().mkpath(folder));
    touch(folder + "/c.1.bin");
    QString moved;
    EXPECT_FALSE(empty_cache_folder(folder, QDateTime::currentDateTime(), &moved));
    EXPECT_TRUE(moved.isEmpty());
    EXPECT_TRUE(QFile::exists(folder + "/c.1.bin"));
}

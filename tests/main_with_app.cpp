// Test entry with a QCoreApplication, so that unwaited jobs are cleaned up by the event loop.
#include <gtest/gtest.h>
#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    // Finished unwaited workers are deleted by events; deliver the last ones before leaving.
    QCoreApplication::sendPostedEvents();
    return result;
}

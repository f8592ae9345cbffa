#include <boost/python.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include "exchange/script_bridge.h"
#include "exchange/script_call.h"
#include "exchange_support.h"

using namespace kavrin;
using test::read_file;
using test::stub_folders;

namespace {

// Each stub module says which folder it was imported from.
const QByteArray app_wrap_ftp = R"(import os
HERE = os.path.realpath(os.path.dirname(os.path.abspath(__file__)))

def get_put(str_list, type):
    with open(str_list[1], "w", encoding="utf-8") as out:
        out.write("app|%s|%r|%s" % (HERE, type, str_list[0]))
    return True

def sync(str_list):
    with open(str_list[0], "w", encoding="utf-8") as out:
        out.write("app|" + "|".join(str_list))
)";

const QByteArray decoy_wrap_ftp = R"(
def get_put(str_list, type):
    with open(str_list[1], "w", encoding="utf-8") as out:
        out.write("script folder")
    return True
)";

const QByteArray stub_shared_lib = R"(import os
HERE = os.path.realpath(os.path.dirname(os.path.abspath(__file__)))

def clean(str_list, type, is_release):
    with open(str_list[1], "w", encoding="utf-8") as out:
        out.write(repr((str_list, type, is_release)))

def place(str_list, is_online):
    return {"core": "3", "größe": "wért ✓", "online": repr(is_online), "log": str_list[0]}

def exist(str_list):
    if str_list[0] == "text":
        return "yes"
    return str_list[0] == "present"

def update(str_list):
    return HERE + "|" + "|".join(str_list)

def unzip(str_list):
    raise ValueError("cannot unpack %s" % str_list[0])
)";

class ScriptBridge : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { test::start_scripts(); }
};

std::string realpath(const QString& folder) {
    return QFileInfo(folder).canonicalFilePath().toStdString();
}

}  // namespace

TEST(ScriptWrapper, SourceTextIsExact) {
    const script_folders folders{"/opt/kavrin/", "/opt/kavrin/resource/python/"};
    EXPECT_EQ(script_call::wrap_source("shared_lib", "clean", ", type, is_release", folders),
              "def clean(str_list, type, is_release):\n\timport sys\n\t"
              "sys.path.append('/opt/kavrin/resource/python/')\n\timport os\n\t"
              "import shared_lib\n\treturn shared_lib.clean(str_list, type, is_release)\n\t");
    // No extra parameters: the wrapper takes str_list alone.
    EXPECT_EQ(script_call::wrap_source("shared_lib", "exist", "", folders),
              "def exist(str_list):\n\timport sys\n\t"
              "sys.path.append('/opt/kavrin/resource/python/')\n\timport os\n\t"
              "import shared_lib\n\treturn shared_lib.exist(str_list)\n\t");
    // wrap_ftp alone lives in the application folder.
    EXPECT_EQ(script_call::wrap_source("wrap_ftp", "get_put", ", type", folders),
              "def get_put(str_list, type):\n\timport sys\n\tsys.path.append('/opt/kavrin/')\n\t"
              "import os\n\timport wrap_ftp\n\treturn wrap_ftp.get_put(str_list, type)\n\t");
    // A quote or backslash in a folder must not end the literal early.
    const script_folders odd{"/home/o'hara\\x/", "/p/"};
    EXPECT_NE(script_call::wrap_source("wrap_ftp", "sync", "", odd)
                  .find("sys.path.append('/home/o\\'hara\\\\x/')"),
              std::string::npos);
}

TEST_F(ScriptBridge, WrapperIsDefinedInMainAndReplacedOnEachCall) {
    stub_folders stub({}, {{"shared_lib.py", stub_shared_lib}});
    script_call::guarded("test", [&] {
        namespace bp = boost::python;
        bp::object first = script_call::wrap_function(stub.folders, "shared_lib", "update", "");
        bp::object main_space = bp::import("__main__").attr("__dict__");
        EXPECT_EQ(bp::object(main_space["update"]).ptr(), first.ptr());
        bp::object second = script_call::wrap_function(stub.folders, "shared_lib", "update", "");
        EXPECT_NE(first.ptr(), second.ptr());
        EXPECT_EQ(bp::object(main_space["update"]).ptr(), second.ptr());
        const std::string got = bp::extract<std::string>(second(script_call::to_str_list({"a"})));
        EXPECT_EQ(got, realpath(stub.folders.python_dir) + "|a");
    });
}

TEST_F(ScriptBridge, WrapFtpComesFromTheApplicationFolder) {
    stub_folders stub({{"wrap_ftp.py", app_wrap_ftp}},
                      {{"shared_lib.py", stub_shared_lib}, {"wrap_ftp.py", decoy_wrap_ftp}});
    // A shared_lib call first puts the script folder on the search path, ahead of the other.
    EXPECT_EQ(
        script::update(stub.folders, "1", "2", "pkg/").toStdString(),
        realpath(stub.folders.python_dir) + "|1|2|pkg/|" + stub.folders.app_dir.toStdString());
    const QString out = stub.folders.app_dir + "out.txt";
    EXPECT_TRUE(script::get_put(stub.folders, "remote/a.bin", out, true));
    EXPECT_EQ(read_file(out).toStdString(),
              "app|" + realpath(stub.folders.app_dir) + "|True|remote/a.bin");

    script::sync(stub.folders, out, "rev7/");
    EXPECT_EQ(read_file(out).toStdString(), "app|" + out.toStdString() + "|None|rev7/");
}

TEST_F(ScriptBridge, ArgumentsAndResultsConvert) {
    stub_folders stub({}, {{"shared_lib.py", stub_shared_lib}});
    const QString log = stub.folders.python_dir + "debug größe.txt";
    script::clean(stub.folders, log, 2, true);
    EXPECT_EQ(QString::fromUtf8(read_file(log)),
              "(['" + stub.folders.app_dir + "', '" + log + "'], 2, True)");

    const auto facts = script::place(stub.folders, log, false);
    ASSERT_EQ(facts.size(), 4u);
    EXPECT_EQ(facts.at("core"), "3");
    EXPECT_EQ(facts.at("größe"), QString::fromUtf8("wért ✓"));
    EXPECT_EQ(facts.at("online"), "False");
    EXPECT_EQ(facts.at("log"), log);

    EXPECT_TRUE(script::exist(stub.folders, "present"));
    EXPECT_FALSE(script::exist(stub.folders, "absent"));
    // A result of the wrong type is an error, not a guess.
    EXPECT_THROW(script::exist(stub.folders, "text"), script_error);

    EXPECT_EQ(script::update(stub.folders, "ä", "ö", "ü/"),
              QString::fromStdString(realpath(stub.folders.python_dir)) + "|ä|ö|ü/|" +
                  stub.folders.app_dir);
}

TEST_F(ScriptBridge, PythonErrorsBecomeScriptErrorsAndLeaveNoTrace) {
    stub_folders stub({}, {{"shared_lib.py", stub_shared_lib}});
    try {
        script::unzip(stub.folders, "/tmp/a.zip");
        FAIL() << "unzip raised nothing";
    } catch (const script_error& err) {
        EXPECT_STREQ(err.what(), "shared_lib.unzip: ValueError: cannot unpack /tmp/a.zip");
    }
    // The same thread calls again at once: a lingering error indicator would fail this call.
    EXPECT_TRUE(script::exist(stub.folders, "present"));

    // A folder without the module.
    stub_folders empty({}, {});
    try {
        script::exist(empty.folders, "present");
        FAIL() << "a missing module raised nothing";
    } catch (const script_error& err) {
        EXPECT_NE(std::string(err.what()).find("ModuleNotFoundError: No module named 'shared_lib'"),
                  std::string::npos)
            << err.what();
    }
    EXPECT_TRUE(script::exist(stub.folders, "present"));
}

TEST_F(ScriptBridge, ModulesFollowTheirFolderAndSearchPathStaysShort) {
    stub_folders stub({}, {{"shared_lib.py", stub_shared_lib}});
    for (int i = 0; i < 50; ++i)
        EXPECT_TRUE(script::exist(stub.folders, "present"));
    // The real library answers again as soon as its folder is named.
    const auto facts = script::place(test::source_folders(), "debug.txt", true);
    bool number = false;
    EXPECT_GE(facts.at("core").toInt(&number), 1);
    EXPECT_TRUE(number);
    EXPECT_EQ(facts.at("online"), "true");

    const int copies = script_call::guarded("test", [&] {
        namespace bp = boost::python;
        bp::object path = bp::import("sys").attr("path");
        return int(bp::extract<int>(path.attr("count")(stub.folders.python_dir.toStdString())));
    });
    EXPECT_LE(copies, 2);  // the folder once, plus at most the last wrapper's own append
}

TEST_F(ScriptBridge, CallsFromManyThreadsEachGetTheirOwnResult) {
    stub_folders stub({}, {{"shared_lib.py", stub_shared_lib}});
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                const QString tag = QString::number(t) + "." + QString::number(i);
                const QString got = script::update(stub.folders, tag, "x", "y/");
                if (!got.endsWith("|" + tag + "|x|y/|" + stub.folders.app_dir)) ++wrong;
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(wrong, 0);
}

TEST_F(ScriptBridge, AWatchedDownloadEndsByItsDeadlineOrWhenCancelledAndKeepsNothing) {
    // A server that accepts connections and never answers.
    const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(silent, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(silent, 8), 0);
    ASSERT_EQ(::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size), 0);
    // The interpreter took its environment at start: the address goes to it directly.
    auto set_server = [](const std::string& url) {
        script_call::guarded("test", [&] {
            namespace bp = boost::python;
            bp::object os = bp::import("os");
            if (url.empty())
                os.attr("environ").attr("pop")("KAVRIN_SERVER_URL", bp::object());
            else
                os.attr("environ")["KAVRIN_SERVER_URL"] = url;
        });
    };
    set_server("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/");

    QTemporaryDir local;
    const QString target = local.path() + "/wine.zip";
    auto failure = [&](transfer_control& control) -> std::string {
        try {
            script::get_put(test::source_folders(), "web/cache/wine.zip", target, true, &control);
        } catch (const script_error& e) {
            return e.what();
        }
        return "no failure";
    };
    transfer_control late;
    late.deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    EXPECT_NE(failure(late).find("no result within 0.3 s"), std::string::npos) << failure(late);
    transfer_control cancelled;
    cancelled.cancel = true;
    const std::string why = failure(cancelled);
    EXPECT_NE(why.find("cancelled"), std::string::npos) << why;
    EXPECT_TRUE(QDir(local.path()).isEmpty());
    // Without a control the call is not watched any more: it ends by its own deadline.
    EXPECT_THROW(script::exist(test::source_folders(), "web/cache/wine.zip"), script_error);
    set_server("");
    ::close(silent);
}

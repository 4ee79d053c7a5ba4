// tarvolin-cli get / add / run / start / stop against real servers on loopback ports:
// nginx for the files, squid and danted as proxies.

#include "foundation/PathUtils.h"
#include "tests/support/Danted.h"
#include "tests/support/HttpServers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>

namespace tq::test {
namespace {

using namespace std::chrono_literals;

constexpr size_t kMiB = 1 << 20;

// One registry and one working directory per test, and a folder for the downloads.
class GetCli : public ::testing::Test {
protected:
    std::vector<std::string> Argv(const std::vector<std::string>& args) const {
        std::vector<std::string> argv = {TQ_CLI_PATH, "--registry", dir.file("registry.db"), "--data",
                                         dir.file("work")};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    int Cli(const std::vector<std::string>& args, std::string* out = nullptr) const {
        std::string local;
        return RunProgram(Argv(args), out ? out : &local, "", true);
    }
    void SetOption(const std::string& name, const std::string& value) const {
        std::string out;
        ASSERT_EQ(Cli({"options", name, value}, &out), 0) << out;
    }
    std::string Out(const std::string& name) const { return dir.file("out") + "/" + name; }
    std::string Url(const Nginx& nginx, const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(nginx.Port()) + path;
    }
    // The done bytes of a job as "list" shows them; -1 when the job is not listed.
    long long ListedDone(const std::string& name) const {
        std::string out;
        Cli({"list"}, &out);
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) {
            const size_t pos = line.find(" done ");
            if (pos != std::string::npos && line.find("  " + name + "  ") != std::string::npos)
                return std::stoll(line.substr(pos + 6));
        }
        return -1;
    }
    // The done share of the one job's block map, read from its file as the job writes
    // it (many times a second, unlike the store's progress).
    double MapDone() const {
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir.file("work/DownLoad"), ec)) {
            if (e.path().extension() != ".blk") continue;
            const std::string map = ReadFile(e.path().string());
            if (!map.empty())
                return static_cast<double>(std::count(map.begin(), map.end(), char(252))) / map.size();
        }
        return 0;
    }
    void StartNginx(Nginx& nginx) const {
        ASSERT_TRUE(nginx.Start("")) << nginx.Why();
    }
    // A slow server: each connection gets rate bytes a second, until the file "fast"
    // of the test's folder exists.
    void StartSlowNginx(Nginx& nginx, const std::string& rate) const {
        ASSERT_TRUE(nginx.Start("location / {\n  set $limit_rate " + rate + ";\n  if (-f " + dir.file("fast") +
                                ") { set $limit_rate 0; }\n}\n"))
            << nginx.Why();
    }
    void MakeServerFast() const { WriteFile(dir.file("fast"), ""); }

    TempDir dir;
};

// Requests of the access log: method, path, Range ("-" when none), status, bytes.
struct LoggedRequest {
    std::string path, range;
    int status = 0;
    long long bytes = 0;
};

std::vector<LoggedRequest> Requests(const std::string& log) {
    std::vector<LoggedRequest> out;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream f(line);
        std::string method;
        LoggedRequest r;
        f >> method >> r.path;
        // The Range value holds no blank: "bytes=N-" or "bytes=N-M".
        f >> r.range >> r.status >> r.bytes;
        out.push_back(r);
    }
    return out;
}

std::string Sha256(const std::string& path) {
    std::string out;
    if (RunProgram({"sha256sum", path}, &out) != 0) return "sha256sum failed: " + out;
    return out.substr(0, out.find(' '));
}

TEST_F(GetCli, FiftyMiBOverFiveConnectionsByteExactThenFiledAsDone) {
    Nginx nginx;
    const std::string body = PatternBytes(50 * kMiB, 7);
    nginx.AddFile("big.bin", body);
    StartNginx(nginx);

    std::string out;
    ASSERT_EQ(Cli({"get", "-n", "5", "-d", dir.file("out"), Url(nginx, "/big.bin")}, &out), 0) << out;
    EXPECT_TRUE(ReadFile(Out("big.bin")) == body) << "byte-exact";
    EXPECT_NE(out.find("completed"), std::string::npos) << out;
    EXPECT_NE(out.find("saved as " + Out("big.bin")), std::string::npos) << out;

    int ranged = 0;
    for (const LoggedRequest& r : Requests(nginx.AccessLog())) ranged += r.range != "-";
    EXPECT_GE(ranged, 4) << "the other connections ask for ranges\n" << nginx.AccessLog();

    ASSERT_EQ(Cli({"list"}, &out), 0) << out;
    const size_t done = out.find("[202]");
    ASSERT_NE(done, std::string::npos) << out;
    EXPECT_NE(out.find("completed  size 52428800  done 52428800  big.bin", done), std::string::npos) << out;
    EXPECT_NE(out.find("[201] 正在下载 (running)  save: "), std::string::npos);
    EXPECT_NE(out.find("jobs: 0"), std::string::npos) << "nothing left in the running list\n" << out;
}

TEST_F(GetCli, InterruptedAtFortyPercentResumesWithTheMissingRangesOnly) {
    Nginx nginx;
    const size_t size = 12 * kMiB;
    const std::string body = PatternBytes(size, 3);
    nginx.AddFile("f.bin", body);
    StartSlowNginx(nginx, "1m");  // three connections: about four seconds to stop it in

    const std::vector<std::string> get = {"get", "-n", "3", "-d", dir.file("out"), Url(nginx, "/f.bin")};
    ChildProcess first(Argv(get), {}, dir.file("first.out"), dir.file("first.err"));
    for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;) {
        if (MapDone() >= 0.4) break;
        std::this_thread::sleep_for(20ms);
    }
    const double doneAtStop = MapDone();
    ASSERT_GE(doneAtStop, 0.4) << ReadFile(dir.file("first.out"));
    ASSERT_LT(doneAtStop, 0.6);
    first.kill(SIGINT);
    EXPECT_EQ(first.wait(20s), 1) << "stopped is not complete";
    const std::string firstOut = ReadFile(dir.file("first.out"));
    EXPECT_NE(firstOut.find("Stopped. To resume: tarvolin-cli --registry"), std::string::npos) << firstOut;
    EXPECT_NE(firstOut.find("f.bin.zl!"), std::string::npos) << "where the partial file is\n" << firstOut;
    const long long saved = ListedDone("f.bin");
    ASSERT_GE(saved, static_cast<long long>(doneAtStop * size)) << "the stop saved the progress";
    ASSERT_LT(saved, static_cast<long long>(size));

    const size_t firstRequests = Requests(nginx.AccessLog()).size();
    std::string mapAtStop;
    for (const auto& e : std::filesystem::directory_iterator(dir.file("work/DownLoad")))
        if (e.path().extension() == ".blk") mapAtStop = ReadFile(e.path().string());
    ASSERT_EQ(mapAtStop.size(), size / 4096);
    std::string out;
    ASSERT_EQ(Cli(get, &out), 0) << out;
    EXPECT_NE(out.find("resuming"), std::string::npos) << out;
    EXPECT_TRUE(ReadFile(Out("f.bin")) == body);

    const std::vector<LoggedRequest> all = Requests(nginx.AccessLog());
    ASSERT_GT(all.size(), firstRequests);
    long long secondBytes = 0;
    for (size_t i = firstRequests; i < all.size(); ++i) {
        const std::string& range = all[i].range;
        ASSERT_EQ(range.rfind("bytes=", 0), 0u) << "no whole-file request on resume: " << range;
        const long long start = std::stoll(range.substr(6));
        EXPECT_NE(mapAtStop[static_cast<size_t>(start / 4096)], char(252))
            << range << " starts in a block done before the stop";
        secondBytes += all[i].bytes;
    }
    EXPECT_LT(secondBytes, static_cast<long long>(size) * 3 / 4) << nginx.AccessLog();
}

TEST_F(GetCli, KilledTenTimesThenCompletedWithTheSourceChecksum) {
    Nginx nginx;
    const std::string body = PatternBytes(64 * kMiB, 11);
    nginx.AddFile("k.bin", body);
    StartSlowNginx(nginx, "1m");  // four connections: ten runs of at most 0.8 s cannot finish it
    WriteFile(dir.file("source.bin"), body);

    const std::vector<std::string> get = {"get", "-n", "4", "-d", dir.file("out"), Url(nginx, "/k.bin")};
    const unsigned seed = static_cast<unsigned>(std::random_device{}());
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> delay(100, 800);
    for (int round = 0; round < 10; ++round) {
        ChildProcess run(Argv(get), {}, dir.file("run.out"), dir.file("run.err"));
        std::this_thread::sleep_for(std::chrono::milliseconds(delay(rng)));
        ASSERT_TRUE(run.running()) << "finished before the kill in round " << round << "\n"
                                   << ReadFile(dir.file("run.out")) << ReadFile(dir.file("run.err"));
        run.kill(SIGKILL);
        EXPECT_EQ(run.wait(10s), 128 + SIGKILL);
    }
    MakeServerFast();
    std::string out;
    ASSERT_EQ(Cli(get, &out), 0) << out;
    EXPECT_EQ(Sha256(Out("k.bin")), Sha256(dir.file("source.bin")));
}

TEST_F(GetCli, TwoJobsOfTheSameNameKeepBothFiles) {
    Nginx nginx;
    const std::string a = PatternBytes(300000, 1), b = PatternBytes(200000, 2);
    nginx.AddFile("a/x.bin", a);
    nginx.AddFile("b/x.bin", b);
    StartNginx(nginx);

    std::string out;
    ASSERT_EQ(Cli({"get", "-d", dir.file("out"), Url(nginx, "/a/x.bin"), Url(nginx, "/b/x.bin")}, &out), 0) << out;
    const std::string x = ReadFile(Out("x.bin")), x1 = ReadFile(Out("x1.bin"));
    EXPECT_TRUE((x == a && x1 == b) || (x == b && x1 == a)) << "sizes " << x.size() << " " << x1.size();

    // The same URL again: finished before, its file is there, so it counts as done.
    ASSERT_EQ(Cli({"get", "-d", dir.file("out"), Url(nginx, "/a/x.bin")}, &out), 0) << out;
    EXPECT_NE(out.find("已经在 “下载完成” 列表中"), std::string::npos) << out;
    EXPECT_FALSE(EntryExists(Out("x2.bin")));
}

TEST_F(GetCli, OnlyTheSameUrlIsADuplicate) {
    Nginx nginx;
    const std::string body = PatternBytes(50000, 4);
    nginx.AddFile("q.bin", body);
    StartNginx(nginx);
    std::string out;
    ASSERT_EQ(Cli({"get", "-d", dir.file("out"), "-o", "first.bin", Url(nginx, "/q.bin?mirror=2")}, &out), 0) << out;
    ASSERT_EQ(Cli({"get", "-d", dir.file("out"), Url(nginx, "/q.bin")}, &out), 0) << out;
    EXPECT_EQ(out.find("列表中"), std::string::npos) << out;
    EXPECT_TRUE(ReadFile(Out("q.bin")) == body);
    ASSERT_EQ(Cli({"add", Url(nginx, "/q.bin")}, &out), 1) << "the same URL again is one";
    EXPECT_NE(out.find("已经在 “下载完成” 列表中"), std::string::npos) << out;
}

TEST_F(GetCli, ProxiesOfEachKindCarryTheDownload) {
    Nginx nginx;
    const std::string body = PatternBytes(700000, 5);
    for (const char* name : {"get.bin", "connect.bin", "socks5.bin", "again.bin", "dead.bin"})
        nginx.AddFile(name, body);
    StartNginx(nginx);
    Squid squid;
    ASSERT_TRUE(squid.Start({{nginx.Port()}, "", ""})) << squid.Why();
    Danted danted;
    ASSERT_TRUE(danted.Start()) << danted.Why();

    const std::string squidAt = "127.0.0.1:" + std::to_string(squid.Port());
    const std::pair<std::string, std::string> rows[] = {
        {"http://" + squidAt, "get.bin"},
        {"connect://" + squidAt, "connect.bin"},
        {"socks5://127.0.0.1:" + std::to_string(danted.Port()), "socks5.bin"},
    };
    for (const auto& [proxy, name] : rows) {
        SCOPED_TRACE(proxy);
        std::string out;
        ASSERT_EQ(Cli({"get", "--proxy", proxy, "-d", dir.file("out"), Url(nginx, "/" + name)}, &out), 0)
            << out << squid.Log();
        EXPECT_TRUE(ReadFile(Out(name)) == body);
    }
    // One proxy entry per proxy; the same text again reuses its entry.
    std::string out;
    ASSERT_EQ(Cli({"get", "--proxy", rows[0].first, "-d", dir.file("out"), Url(nginx, "/again.bin")}, &out), 0) << out;
    ASSERT_EQ(Cli({"options", "Count"}, &out), 0);
    EXPECT_NE(out.find("4"), std::string::npos) << "the direct entry and three proxies: " << out;

    // Each kind is really used: through a dead proxy of that kind nothing comes.
    SetOption("MaxError", "2");
    SetOption("MaxErrorEnd", "1");
    SetOption("DLRJG", "1");
    const std::string deadAt = "127.0.0.1:" + std::to_string(FreeTcpPort());
    for (const char* kind : {"http", "connect", "socks5"}) {
        EXPECT_EQ(Cli({"get", "--proxy", std::string(kind) + "://" + deadAt, "-d", dir.file("out"),
                       Url(nginx, "/dead.bin")}, &out), 1)
            << kind << "\n" << out;
        EXPECT_FALSE(EntryExists(Out("dead.bin")));
    }
}

TEST_F(GetCli, UsageErrorsAndFailedJobsGiveTheirExitCodes) {
    struct Row {
        std::vector<std::string> args;
        int code;
        const char* message;
    };
    const Row rows[] = {
        {{"get", "--proxy", "socks9://127.0.0.1:1080", "http://127.0.0.1:1/x"}, 2, "unknown proxy type"},
        {{"get", "--proxy", "http://127.0.0.1", "http://127.0.0.1:1/x"}, 2, "no port"},
        {{"get", "--bogus", "http://127.0.0.1:1/x"}, 2, "unknown option \"--bogus\""},
        {{"get", "-n", "0", "http://127.0.0.1:1/x"}, 2, "-n takes"},
        {{"get", "-o", "a/b", "http://127.0.0.1:1/x"}, 2, "-o takes a file name"},
        {{"get", "-o", "x", "http://127.0.0.1:1/x", "http://127.0.0.1:1/y"}, 2, "give one URL"},
        {{"get", "https://127.0.0.1:1/x"}, 2, "not an http:// or ftp:// URL"},
        {{"get"}, 2, "no URL"},
        {{"add", "-d"}, 2, "-d needs a value"},
        {{"start", "12x"}, 2, "not a job ID"},
        {{"run", "extra"}, 2, "unexpected argument"},
    };
    for (const Row& r : rows) {
        std::string out;
        EXPECT_EQ(Cli(r.args, &out), r.code) << r.args[0] << " " << r.args[1];
        EXPECT_NE(out.find(r.message), std::string::npos) << out;
    }
    EXPECT_FALSE(EntryExists(dir.file("work/DownLoad/DownLoad.dat"))) << "no usage error touched the store";

    Nginx nginx;
    StartNginx(nginx);
    std::string out;
    EXPECT_EQ(Cli({"get", "-d", dir.file("out"), Url(nginx, "/missing.bin")}, &out), 1) << out;
    EXPECT_NE(out.find("missing.bin failed: "), std::string::npos) << out;
    EXPECT_NE(out.find("无法找到文件!"), std::string::npos) << "the job's error line\n" << out;
}

TEST_F(GetCli, AddedJobsWaitForRunWhichCompletesThem) {
    Nginx nginx;
    const std::string a = PatternBytes(150000, 8), b = PatternBytes(90000, 9);
    nginx.AddFile("one.bin", a);
    nginx.AddFile("two.bin", b);
    StartNginx(nginx);

    std::string out;
    ASSERT_EQ(Cli({"add", "-d", dir.file("out"), Url(nginx, "/one.bin")}, &out), 0) << out;
    const int id1 = std::stoi(out.substr(out.find('[') + 1));
    ASSERT_EQ(Cli({"add", "-d", dir.file("out"), Url(nginx, "/two.bin")}, &out), 0) << out;
    const int id2 = std::stoi(out.substr(out.find('[') + 1));
    EXPECT_EQ(Cli({"add", "-d", dir.file("out"), Url(nginx, "/two.bin")}, &out), 1);
    EXPECT_NE(out.find("已经在正在下在列表中"), std::string::npos) << out;
    EXPECT_TRUE(nginx.AccessLog().empty()) << "add downloads nothing";

    auto stateOf = [&](int id) {
        std::string list;
        Cli({"list"}, &list);
        const size_t pos = list.find("    " + std::to_string(id) + "  ");
        return pos == std::string::npos ? std::string("absent") : list.substr(pos + 6 + std::to_string(id).size(), 9);
    };
    EXPECT_EQ(stateOf(id1), "waiting  ");
    ASSERT_EQ(Cli({"stop", std::to_string(id1)}, &out), 0) << out;
    EXPECT_EQ(stateOf(id1), "stopped  ");
    EXPECT_EQ(stateOf(id2), "waiting  ");
    ASSERT_EQ(Cli({"start", std::to_string(id1)}, &out), 0) << out;
    EXPECT_EQ(stateOf(id1), "waiting  ");
    EXPECT_EQ(Cli({"start", "99999"}, &out), 1);
    EXPECT_NE(out.find("no job 99999"), std::string::npos) << out;

    ASSERT_EQ(Cli({"run"}, &out), 0) << out;
    EXPECT_TRUE(ReadFile(Out("one.bin")) == a);
    EXPECT_TRUE(ReadFile(Out("two.bin")) == b);
    ASSERT_EQ(Cli({"list"}, &out), 0);
    EXPECT_NE(out.find("[202] 下载完成  save: "), std::string::npos);
    EXPECT_NE(out.find("jobs: 2  done: 2"), std::string::npos) << out;
    ASSERT_EQ(Cli({"run"}, &out), 0) << out;
    EXPECT_NE(out.find("No job waits"), std::string::npos) << out;
}

} // namespace
} // namespace tq::test

#include "config/TQnOption.h"

#include "foundation/Scramble.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <optional>
#include <set>
#include <thread>
#include <unistd.h>

namespace tq::test {

namespace {

std::string Full(const std::string& key) {
    return std::string(kKeyTarvolin) + key;
}

class OptionStoreTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string db = dir.file("registry.db");

    // Direct access to the registry, bypassing the store.
    TRegistry& Raw(const std::string& key) {
        raw_.OpenKey(Full(key), true);
        return raw_;
    }
    std::set<int32_t> ProxyIds() {
        TQNoption opt(db);
        TproxyList list;
        opt.LoadProxyList(list);
        std::set<int32_t> ids;
        for (const auto& p : list) ids.insert(p->ID);
        EXPECT_EQ(ids.size(), list.size()) << "proxy IDs handed out twice";
        return ids;
    }

private:
    TRegistry raw_{db};
};

} // namespace

TEST_F(OptionStoreTest, FirstRunWritesEveryDefaultAndTheDirectProxy) {
    TQNoption opt(db);
    EXPECT_EQ(Raw(kKeyRoot).ReadInteger("OnceSet"), 1);

    // Written by the resets: everything but the root values, ShowA, the proxy
    // bookkeeping (below) and the floats.
    for (int i = 0; i < kIntOptCount; ++i) {
        SCOPED_TRACE(IntOptName(i));
        const bool skipped = std::string(IntOptKey(i)).empty() || i == ioShowA ||
                             std::string(IntOptKey(i)) == kKeyProxy || IntOptType(i) == OptType::Float;
        if (skipped) continue;
        EXPECT_EQ(Raw(IntOptKey(i)).ReadInteger(IntOptName(i)), IntOptDefault(i));
    }
    EXPECT_EQ(Raw(kKeyConnection).ReadFloat("Speed"), 3.0);
    for (int i = soWatchType; i < kStrOptCount; ++i)
        EXPECT_EQ(Raw(StrOptKey(i)).ReadString(StrOptName(i)), StrOptDefault(i)) << StrOptName(i);
    // Root values and ShowA are left to be written by their users.
    EXPECT_FALSE(Raw(kKeyRoot).ValueExists("WinHandle"));
    EXPECT_FALSE(Raw(kKeyRoot).ValueExists("Path"));
    EXPECT_FALSE(Raw(kKeyMainFm).ValueExists("ShowA"));

    TRegistry& proxy = Raw(kKeyProxy);
    EXPECT_EQ(proxy.ReadInteger("Count"), 1);
    EXPECT_EQ(proxy.ReadInteger("MaxID"), 1);
    EXPECT_EQ(proxy.ReadInteger("DefaultForFtp"), 0);
    EXPECT_EQ(proxy.ReadInteger("DefaultForHttp"), 0);
    EXPECT_EQ(proxy.GetKeyNames(), std::vector<std::string>{"Proxy0"});
    std::unique_ptr<TproxyData> direct = opt.FindProxyByID(0);
    ASSERT_TRUE(direct);
    EXPECT_EQ(direct->ProxyName, "直接连接");
    EXPECT_EQ(direct->KeyName, "Proxy0");
    EXPECT_TRUE(direct->PasvMode);
    EXPECT_EQ(direct->Type, 0);
    EXPECT_FALSE(direct->Authenticate);
    EXPECT_TRUE(Raw(kKeySound).GetValueNames().empty());
}

TEST_F(OptionStoreTest, LaterConstructionKeepsValuesUnlessOnceSetIsNotOne) {
    { TQNoption first(db); }
    Raw(kKeyConnection).WriteInteger("MaxCanRunJob", 9);
    { TQNoption again(db); }
    EXPECT_EQ(Raw(kKeyConnection).ReadInteger("MaxCanRunJob"), 9);

    for (bool asText : {false, true}) {
        SCOPED_TRACE(asText);
        Raw(kKeyConnection).WriteInteger("MaxCanRunJob", 9);
        if (asText) Raw(kKeyRoot).WriteString("OnceSet", "1");
        else Raw(kKeyRoot).WriteInteger("OnceSet", 2);
        TQNoption reset(db);
        EXPECT_EQ(Raw(kKeyConnection).ReadInteger("MaxCanRunJob"), 5);
        EXPECT_EQ(Raw(kKeyRoot).ReadInteger("OnceSet"), 1);
    }
}

// Stored forms of MaxCanRunJob: what ReadInt returns and what it leaves stored. A
// value of the wrong type is taken as missing, not as an error.
TEST_F(OptionStoreTest, ReadIntFallsBackToTheDefaultAndStoresIt) {
    TQNoption opt(db);
    struct Row { const char* what; std::optional<int32_t> storedInt; const char* storedText; int32_t result; };
    for (const Row& r : {Row{"absent", std::nullopt, nullptr, 5}, Row{"not set", -10000, nullptr, 5},
                         Row{"set", 7, nullptr, 7}, Row{"zero", 0, nullptr, 0},
                         Row{"text", std::nullopt, "12", 5}}) {
        SCOPED_TRACE(r.what);
        TRegistry& k = Raw(kKeyConnection);
        k.DeleteValue("MaxCanRunJob");
        if (r.storedInt) k.WriteInteger("MaxCanRunJob", *r.storedInt);
        if (r.storedText) k.WriteString("MaxCanRunJob", r.storedText);
        EXPECT_EQ(opt.ReadInt(kKeyConnection, ioMaxCanRunJob), r.result);
        EXPECT_EQ(Raw(kKeyConnection).ReadInteger("MaxCanRunJob"), r.result);
    }
    // The leading "\" of a key may be left out.
    EXPECT_EQ(opt.ReadInt("Options\\DownLoad\\Connection", ioMaxCanRunJob), 5);
    EXPECT_THROW(opt.ReadInt(kKeyConnection, kIntOptCount), std::out_of_range);
    EXPECT_THROW(opt.ReadInt(kKeyConnection, 128), std::out_of_range);
    EXPECT_THROW(opt.WriteInt(kKeyConnection, -1, 0), std::out_of_range);
}

TEST_F(OptionStoreTest, ReadStrTreatsBlankAsDefaultAndKeepsOtherTextUntrimmed) {
    TQNoption opt(db);
    struct Row { const char* stored; std::string result; };
    for (const Row& r : {Row{"   ", "notepad.exe"}, Row{"\t\r\n", "notepad.exe"},
                         Row{" vim", " vim"}, Row{"gedit ", "gedit "}, Row{"", "notepad.exe"}}) {
        SCOPED_TRACE(r.stored);
        opt.WriteStr(kKeyEdit, soDefTextEdit, r.stored);
        EXPECT_EQ(opt.ReadStr(kKeyEdit, soDefTextEdit), r.result);
        EXPECT_EQ(Raw(kKeyEdit).ReadString("DefTextEdit"), r.stored);  // nothing written back
    }
    Raw(kKeyEdit).WriteInteger("DefTextEdit", 3);
    EXPECT_EQ(opt.ReadStr(kKeyEdit, soDefTextEdit), "notepad.exe");
    EXPECT_EQ(opt.ReadStrOpt(soDownloadScanner), " ");
}

TEST_F(OptionStoreTest, ReadFloatFallsBackWithoutWriting) {
    TQNoption opt(db);
    Raw(kKeyConnection).DeleteValue("Speed");
    EXPECT_EQ(opt.ReadFloat(kKeyConnection, ioSpeed), 3.0);
    EXPECT_FALSE(Raw(kKeyConnection).ValueExists("Speed"));

    opt.WriteFloat(kKeyConnection, ioSpeed, 0.75);
    EXPECT_EQ(opt.ReadFloat(kKeyConnection, ioSpeed), 0.75);
    Raw(kKeyConnection).WriteInteger("Speed", 8);  // another type
    EXPECT_EQ(opt.ReadFloat(kKeyConnection, ioSpeed), 3.0);
    EXPECT_EQ(Raw(kKeyConnection).ReadInteger("Speed"), 8);
    EXPECT_EQ(opt.ReadFloatOpt(ioLastPackDate), 0.0);
}

TEST_F(OptionStoreTest, SoundsPerEvent) {
    TQNoption opt(db);
    EXPECT_EQ(opt.ReadSound(seJOBRIGHT), "");
    opt.WriteSound(seJOBRIGHT, "/usr/share/sounds/done.wav");
    EXPECT_EQ(opt.ReadSound(seJOBRIGHT), "/usr/share/sounds/done.wav");
    EXPECT_EQ(Raw(kKeySound).ReadString("JOBRIGHT"), "/usr/share/sounds/done.wav");
    opt.WriteSound(seALLOK, "  ");
    EXPECT_EQ(opt.ReadSound(seALLOK), "");
    EXPECT_THROW(opt.ReadSound(kSoundOptCount), std::out_of_range);
}

TEST_F(OptionStoreTest, ProxyEntrySurvivesSaveAndLoadWithScrambledPassword) {
    TQNoption opt(db);
    std::unique_ptr<TproxyData> p = NewProxyData();
    EXPECT_TRUE(p->PasvMode);
    p->ProxyName = "公司代理";
    p->ServerName = "127.0.0.1";
    p->ServerPort = "3128";
    p->UserName = "u";
    p->PassWord = "secret";
    p->PasvMode = false;
    p->Type = 8;
    p->Authenticate = true;
    opt.AddProxy(*p);
    EXPECT_EQ(p->ID, 1);
    EXPECT_EQ(p->KeyName, "Proxy1");

    TRegistry& k = Raw(std::string(kKeyProxy) + "\\Proxy1");
    EXPECT_EQ(k.ReadString("PassWord"), ScrambleText("secret"));
    EXPECT_NE(k.ReadString("PassWord"), "secret");

    std::unique_ptr<TproxyData> back = opt.FindProxyByID(1);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->KeyName, "Proxy1");
    EXPECT_EQ(back->ProxyName, "公司代理");
    EXPECT_EQ(back->ServerPort, "3128");
    EXPECT_EQ(back->PassWord, "secret");
    EXPECT_FALSE(back->PasvMode);
    EXPECT_EQ(back->Type, 8);
    EXPECT_TRUE(back->Authenticate);
    EXPECT_EQ(opt.FindProxyByID(42), nullptr);

    // A missing subkey leaves the entry alone; a subkey without values reads empty.
    TproxyData untouched;
    untouched.ProxyName = "keep";
    EXPECT_FALSE(opt.LoadProxyByKey("Proxy9", untouched));
    EXPECT_EQ(untouched.ProxyName, "keep");
    Raw(std::string(kKeyProxy) + "\\Bare");
    TproxyData bare;
    ASSERT_TRUE(opt.LoadProxyByKey("Bare", bare));
    EXPECT_EQ(bare.ProxyName, "");
    EXPECT_FALSE(bare.PasvMode);

    TproxyList list;
    opt.LoadProxyList(list);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]->KeyName, "Proxy0");
    EXPECT_EQ(list[1]->KeyName, "Proxy1");
    EXPECT_EQ(list[2]->KeyName, "Bare");
}

TEST_F(OptionStoreTest, ProxyIdsWrapAndSkipTakenSubkeys) {
    TQNoption opt(db);
    Raw(kKeyProxy).WriteInteger("MaxID", 99999999);
    EXPECT_EQ(opt.NextProxyID(), 99999999);
    EXPECT_EQ(Raw(kKeyProxy).ReadInteger("MaxID"), 10010);

    Raw(kKeyProxy).WriteInteger("MaxID", 5);
    Raw(std::string(kKeyProxy) + "\\Proxy5");
    TproxyData p;
    opt.AddProxy(p);
    EXPECT_EQ(p.ID, 6);
    EXPECT_EQ(Raw(kKeyProxy).ReadInteger("MaxID"), 6);
    EXPECT_EQ(Raw(kKeyProxy).ReadInteger("Count"), 2);
}

TEST_F(OptionStoreTest, DeleteProxyCountsDownEvenWhenTheSubkeyIsGone) {
    TQNoption opt(db);
    TproxyData p;
    opt.AddProxy(p);
    EXPECT_EQ(Raw(kKeyProxy).ReadInteger("Count"), 2);
    EXPECT_TRUE(opt.DeleteProxy(p));
    EXPECT_EQ(Raw(kKeyProxy).ReadInteger("Count"), 1);
    EXPECT_FALSE(opt.DeleteProxy(p));
    EXPECT_EQ(Raw(kKeyProxy).ReadInteger("Count"), 0);

    // An entry that was never saved names no subkey: the list stays.
    TproxyData unsaved;
    EXPECT_FALSE(opt.DeleteProxy(unsaved));
    EXPECT_NE(opt.FindProxyByID(0), nullptr);
}

// Jobs and sites refer to proxies by ID; a reset must not hand an old ID to a new,
// unrelated entry.
TEST_F(OptionStoreTest, ResetProxyKeepsMaxIdSoIdsAreNotReused) {
    TQNoption opt(db);
    TproxyData a, b;
    opt.AddProxy(a);
    opt.AddProxy(b);
    ASSERT_EQ(b.ID, 2);
    opt.WriteInt(kKeyProxy, ioDefaultForHttp, 2);

    opt.ResetProxy();
    EXPECT_EQ(ProxyIds(), std::set<int32_t>{0});
    EXPECT_EQ(opt.FindProxyByID(0)->ProxyName, "直接连接");
    EXPECT_EQ(Raw(kKeyProxy).ReadInteger("Count"), 1);
    EXPECT_EQ(Raw(kKeyProxy).ReadInteger("DefaultForHttp"), 0);
    EXPECT_EQ(opt.FindProxyByID(2), nullptr);

    TproxyData c;
    opt.AddProxy(c);
    EXPECT_EQ(c.ID, 3);
}

TEST_F(OptionStoreTest, DownloadFolderHistory) {
    TQNoption opt(db);
    opt.SaveDownDirs({"/home/u/Downloads", "/data/下载", "/tmp"});
    std::vector<std::string> dirs{"already"};
    EXPECT_EQ(opt.LoadDownDirs(dirs), 3);
    EXPECT_EQ(dirs, (std::vector<std::string>{"already", "/home/u/Downloads", "/data/下载", "/tmp"}));
    EXPECT_EQ(Raw(kKeyDownDir).GetValueNames(), (std::vector<std::string>{"List0", "List1", "List2"}));

    opt.SaveDownDirs({"/tmp"});
    EXPECT_EQ(Raw(kKeyDownDir).GetValueNames(), std::vector<std::string>{"List0"});
    opt.SaveDownDirs({});
    EXPECT_TRUE(Raw(kKeyDownDir).GetValueNames().empty());
    dirs.clear();
    EXPECT_EQ(opt.LoadDownDirs(dirs), 0);
}

TEST_F(OptionStoreTest, ResetAllLeavesSoundsHistoryDropFileAndRootValuesAlone) {
    TQNoption opt(db);
    opt.WriteSound(seBC, "/s/begin.wav");
    opt.SaveDownDirs({"/d"});
    Raw(kKeyDropFile).WriteInteger("SUM", 1);
    Raw(kKeyDropFile).WriteString("0", "/f");
    opt.WriteInt(kKeyRoot, ioWinHandle, 77);
    opt.WriteStr(kKeyRoot, soSetupPath, "/data");
    opt.WriteFloat(kKeyRoot, ioLastPackDate, 45000.5);
    opt.WriteInt(kKeyConnection, ioMaxCanRunJob, 9);
    opt.WriteStr(kKeyFontColor, soFontName, "Noto");
    opt.WriteFloat(kKeyConnection, ioSpeed, 12.5);

    opt.ResetAll();
    EXPECT_EQ(opt.ReadSound(seBC), "/s/begin.wav");
    std::vector<std::string> dirs;
    opt.LoadDownDirs(dirs);
    EXPECT_EQ(dirs, std::vector<std::string>{"/d"});
    EXPECT_EQ(Raw(kKeyDropFile).ReadInteger("SUM"), 1);
    EXPECT_EQ(Raw(kKeyDropFile).ReadString("0"), "/f");
    EXPECT_EQ(opt.ReadInt(kKeyRoot, ioWinHandle), 77);
    EXPECT_EQ(opt.ReadStr(kKeyRoot, soSetupPath), "/data");
    EXPECT_EQ(opt.ReadFloat(kKeyRoot, ioLastPackDate), 45000.5);
    EXPECT_EQ(Raw(kKeyRoot).ReadInteger("OnceSet"), 1);

    EXPECT_EQ(opt.ReadInt(kKeyConnection, ioMaxCanRunJob), 5);
    EXPECT_EQ(opt.ReadStr(kKeyFontColor, soFontName), "宋体");
    EXPECT_EQ(opt.ReadFloat(kKeyConnection, ioSpeed), 3.0);
}

TEST_F(OptionStoreTest, HandlePassedByTheCallerIsUsedAndLeftOpen) {
    TRegistry reg(db);
    TQNoption opt(reg);
    RegistryTransaction tx(reg);
    opt.WriteInt(kKeyConnection, ioMaxCanRunJob, 8, &reg);
    EXPECT_EQ(opt.ReadInt(kKeyConnection, ioMaxCanRunJob, &reg), 8);
    tx.Commit();
    EXPECT_FALSE(reg.HasCurrentKey());
    EXPECT_EQ(TQNoption(db).ReadInt(kKeyConnection, ioMaxCanRunJob), 8);
}

// Download and FTP workers read options while the main thread writes them.
TEST_F(OptionStoreTest, SeveralThreadsReadAndWriteAtOnce) {
    TQNoption opt(db);
    constexpr int kThreads = 6, kRounds = 40;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            try {
                // Half the threads share the store's connection, half bring their own.
                std::unique_ptr<TRegistry> own = t % 2 ? std::make_unique<TRegistry>(db) : nullptr;
                TRegistry* reg = own.get();
                const int index = ioFontSize + t;  // one integer option per thread
                for (int i = 1; i <= kRounds; ++i) {
                    opt.WriteIntOpt(index, i, reg);
                    if (opt.ReadIntOpt(index, reg) != i) ++failures;
                    if (opt.ReadIntOpt(ioMaxCanRunJob, reg) != 5) ++failures;
                    if (i % 8 == 0) {
                        TproxyData p;
                        opt.AddProxy(p, reg);
                    }
                }
            } catch (const std::exception& e) {
                ADD_FAILURE() << e.what();
                ++failures;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    const int added = kThreads * (kRounds / 8);
    EXPECT_EQ(ProxyIds().size(), static_cast<size_t>(1 + added));
    EXPECT_EQ(opt.ReadInt(kKeyProxy, ioCount), 1 + added);
}

// Run as a child by the test below: adds proxies and writes one option many times.
TEST(OptionStoreChild, Worker) {
    const char* db = std::getenv("TQ_OPTION_CHILD_REGISTRY");
    const char* index = std::getenv("TQ_OPTION_CHILD_INDEX");
    if (!db || !index) GTEST_SKIP() << "runs only as a child of TwoProcessesWriteAtOnce";
    TQNoption opt(db);
    for (int i = 1; i <= 100; ++i) {
        opt.WriteIntOpt(std::atoi(index), i);
        if (i % 5 == 0) {
            TproxyData p;
            opt.AddProxy(p);
        }
    }
}

TEST_F(OptionStoreTest, TwoProcessesWriteAtOnceAndNothingIsLost) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = '\0';
    { TQNoption init(db); }
    std::vector<ChildProcess> children;
    for (int index : {ioMaxError, ioDLRJG}) {
        children.emplace_back(
            std::vector<std::string>{self, "--gtest_filter=OptionStoreChild.Worker"},
            std::vector<std::string>{"TQ_OPTION_CHILD_REGISTRY=" + db,
                                     "TQ_OPTION_CHILD_INDEX=" + std::to_string(index)},
            dir.file("child" + std::to_string(index) + ".out"));
    }
    for (size_t i = 0; i < children.size(); ++i) {
        const int index = i == 0 ? ioMaxError : ioDLRJG;
        EXPECT_EQ(children[i].wait(std::chrono::seconds(60)), 0)
            << ReadFile(dir.file("child" + std::to_string(index) + ".out"));
    }

    TQNoption opt(db);
    EXPECT_EQ(opt.ReadIntOpt(ioMaxError), 100);
    EXPECT_EQ(opt.ReadIntOpt(ioDLRJG), 100);
    EXPECT_EQ(ProxyIds().size(), 41u);
    EXPECT_EQ(opt.ReadInt(kKeyProxy, ioCount), 41);
}

} // namespace tq::test

#include "platform/Registry.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <sys/stat.h>

namespace tq::test {

namespace {

class RegistryTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string db = dir.file("reg.db");
};

int ModeOf(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
}

// Sets an environment variable for the scope and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) setenv(name, value, 1);
        else unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }
private:
    const char* name_;
    std::optional<std::string> old_;
};

} // namespace

TEST_F(RegistryTest, KeysAreATreeWithCaseInsensitiveNamesThatKeepTheirCase) {
    TRegistry reg(db);
    ASSERT_TRUE(reg.OpenKey("\\Software\\Varnholt\\Tarvolin\\Options\\Proxy\\Proxy0", true));
    ASSERT_TRUE(reg.OpenKey("\\SOFTWARE\\varnholt\\Tarvolin\\Options\\DownLoad", true));
    ASSERT_TRUE(reg.OpenKey("\\software\\Varnholt\\Tarvolin\\OPTIONS\\Proxy", true));
    EXPECT_EQ(reg.CurrentPath(), "\\software\\Varnholt\\Tarvolin\\OPTIONS\\Proxy");

    ASSERT_TRUE(reg.OpenKey("\\Software\\Varnholt\\Tarvolin\\options", false));
    EXPECT_EQ(reg.GetKeyNames(), (std::vector<std::string>{"Proxy", "DownLoad"}));
    // Relative paths go below the open key.
    ASSERT_TRUE(reg.OpenKey("download", false));
    EXPECT_EQ(reg.CurrentPath(), "\\Software\\Varnholt\\Tarvolin\\options\\download");

    EXPECT_FALSE(reg.OpenKey("\\Software\\Missing", false));
    EXPECT_EQ(reg.CurrentPath(), "\\Software\\Varnholt\\Tarvolin\\options\\download");
    EXPECT_FALSE(reg.KeyExists("\\Software\\Missing"));
    EXPECT_TRUE(reg.KeyExists("\\software\\VARNHOLT"));
}

TEST_F(RegistryTest, DeleteKeyRemovesTheWholeSubtree) {
    TRegistry reg(db);
    reg.OpenKey("\\A\\B\\C", true);
    reg.WriteInteger("x", 1);
    reg.OpenKey("\\A\\B", true);
    reg.WriteString("y", "text");
    reg.OpenKey("\\A\\Other", true);
    reg.WriteInteger("kept", 7);
    reg.CloseKey();

    EXPECT_TRUE(reg.DeleteKey("\\a\\b"));
    EXPECT_FALSE(reg.KeyExists("\\A\\B\\C"));
    EXPECT_FALSE(reg.DeleteKey("\\A\\B"));
    reg.OpenKey("\\A\\B", true);  // re-created empty
    EXPECT_TRUE(reg.GetValueNames().empty());
    EXPECT_TRUE(reg.GetKeyNames().empty());
    reg.OpenKey("\\A\\Other", false);
    EXPECT_EQ(reg.ReadInteger("kept"), 7);
    EXPECT_THROW(reg.DeleteKey("\\"), RegistryError);
}

TEST_F(RegistryTest, ValueOfAnotherTypeReadsAsAbsent) {
    TRegistry reg(db);
    reg.OpenKey("\\K", true);
    reg.WriteString("s", "12");
    reg.WriteInteger("i", 12);
    reg.WriteFloat("f", 1.5);
    struct Row { const char* name; bool asInt, asString, asBinary; };
    for (const Row& r : {Row{"s", false, true, false}, Row{"i", true, false, false},
                         Row{"f", false, false, true}, Row{"missing", false, false, false}}) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(reg.ReadInteger(r.name).has_value(), r.asInt);
        EXPECT_EQ(reg.ReadString(r.name).has_value(), r.asString);
        EXPECT_EQ(reg.ReadBinary(r.name).has_value(), r.asBinary);
        EXPECT_EQ(reg.ReadFloat(r.name).has_value(), r.asBinary);
        EXPECT_EQ(reg.ValueExists(r.name), r.asInt || r.asString || r.asBinary);
    }
    // A write replaces the type as well.
    reg.WriteInteger("s", 3);
    EXPECT_EQ(reg.GetDataType("S"), RegDataType::DWord);
    EXPECT_EQ(reg.ReadInteger("S"), 3);
}

TEST_F(RegistryTest, ValuesKeepCreationOrderAndFirstCase) {
    TRegistry reg(db);
    reg.OpenKey("\\K", true);
    reg.WriteString("List0", "a");
    reg.WriteString("list1", "b");
    reg.WriteInteger("Mid", -5);
    reg.WriteString("LIST0", "c");  // replaces List0 in place
    EXPECT_EQ(reg.GetValueNames(), (std::vector<std::string>{"List0", "list1", "Mid"}));
    EXPECT_EQ(reg.ReadString("list0"), "c");
    EXPECT_EQ(reg.ReadInteger("MID"), -5);
    EXPECT_TRUE(reg.DeleteValue("LIST1"));
    EXPECT_FALSE(reg.DeleteValue("list1"));
    EXPECT_EQ(reg.GetValueNames(), (std::vector<std::string>{"List0", "Mid"}));
}

TEST_F(RegistryTest, BinaryValuesAreEightLittleEndianBytes) {
    TRegistry reg(db);
    reg.OpenKey("\\K", true);
    reg.WriteFloat("Speed", 3.0);
    EXPECT_EQ(reg.ReadBinary("Speed"), std::string("\0\0\0\0\0\0\x08\x40", 8));
    EXPECT_EQ(reg.ReadFloat("Speed"), 3.0);
    EXPECT_THROW(reg.WriteBinary("short", "1234"), std::invalid_argument);
    reg.CloseKey();
    EXPECT_THROW(reg.WriteInteger("nokey", 1), RegistryError);
    EXPECT_FALSE(reg.ReadInteger("nokey"));
}

TEST_F(RegistryTest, WritesReachOtherHandlesAtOnceAndSurviveReopening) {
    {
        TRegistry a(db);
        TRegistry b(db);
        a.OpenKey("\\K", true);
        a.WriteString("Name", "宋体");
        b.OpenKey("\\k", false);
        EXPECT_EQ(b.ReadString("name"), "宋体");
    }
    TRegistry again(db);
    ASSERT_TRUE(again.OpenKey("\\K", false));
    EXPECT_EQ(again.ReadString("Name"), "宋体");
}

TEST_F(RegistryTest, WriteToAKeyDeletedByAnotherHandleRecreatesIt) {
    TRegistry a(db);
    TRegistry b(db);
    a.OpenKey("\\Options\\Proxy", true);
    b.DeleteKey("\\Options");
    a.WriteInteger("Count", 1);
    b.OpenKey("\\Options\\Proxy", false);
    EXPECT_EQ(b.ReadInteger("Count"), 1);
}

TEST_F(RegistryTest, TransactionRollsBackUnlessCommitted) {
    TRegistry reg(db);
    reg.OpenKey("\\K", true);
    {
        RegistryTransaction tx(reg);
        reg.WriteInteger("a", 1);
    }
    EXPECT_FALSE(reg.ValueExists("a"));
    {
        RegistryTransaction outer(reg);
        reg.WriteInteger("b", 1);
        { RegistryTransaction inner(reg); }  // abandoned
        EXPECT_THROW(outer.Commit(), RegistryError);
    }
    EXPECT_FALSE(reg.ValueExists("b"));
    {
        RegistryTransaction outer(reg);
        {
            RegistryTransaction inner(reg);
            reg.WriteInteger("c", 1);
            inner.Commit();
        }
        outer.Commit();
    }
    EXPECT_EQ(reg.ReadInteger("c"), 1);
}

TEST_F(RegistryTest, FileIsPrivateAndLocationFollowsTheEnvironment) {
    const std::string nested = dir.file("new/sub/reg.db");
    { TRegistry reg(nested); }
    EXPECT_EQ(ModeOf(nested), 0600);
    EXPECT_EQ(ModeOf(dir.file("new/sub")), 0700);
    EXPECT_EQ(ModeOf(dir.file("new")), 0700);

    {
        ScopedEnv reg("TARVOLIN_REGISTRY", "/x/reg.db");
        EXPECT_EQ(DefaultRegistryPath(), "/x/reg.db");
    }
    ScopedEnv reg("TARVOLIN_REGISTRY", nullptr);
    {
        ScopedEnv xdg("XDG_CONFIG_HOME", "/cfg");
        EXPECT_EQ(DefaultRegistryPath(), "/cfg/tarvolin/registry.db");
    }
    ScopedEnv xdg("XDG_CONFIG_HOME", nullptr);
    ScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(DefaultRegistryPath(), "/home/u/.config/tarvolin/registry.db");
}

} // namespace tq::test

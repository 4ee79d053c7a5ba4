#include "foundation/IniFile.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>

#include "tests/support/TestSupport.h"

namespace tq {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(IniFile, PlainTextsEncodeAsBefore) {
    struct Case { const char* text; const char* encoded; };
    const Case cases[] = {
        {"a b", "a_b"},
        {"a_b", "a__b"},
        {"x ", "x_"},
        {"_ ", "___"},
        {"a_ b ", "a___b_"},
        {"C:\\dir\\file.zip", "C:\\dir\\file.zip"},
        {"http://h/a%20b?x", "http://h/a%20b?x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(EncodeIniText(c.text), c.encoded) << c.text;
        EXPECT_EQ(DecodeIniText(c.encoded), c.text) << c.encoded;
    }
    // Stored runs of underscores read as they always did.
    EXPECT_EQ(DecodeIniText("a_____b"), "a__ b");
    EXPECT_EQ(DecodeIniText("_x_"), " x ");
}

TEST(IniFile, FormerlyBrokenTextsRoundTrip) {
    const std::string texts[] = {
        " _", "_ ", "  ", "a  b", " _ _ ", "a=b", ";comment", "[section]", "x;[y",
        "line1\r\nline2", "tab\there", std::string("nul\0byte", 8), "=", "_ 20",
    };
    for (const std::string& t : texts) {
        const std::string e = EncodeIniText(t);
        EXPECT_EQ(DecodeIniText(e), t) << e;
        EXPECT_EQ(e.find_first_of("=\r\n"), std::string::npos) << e;
    }
    EXPECT_NE(EncodeIniText(" _"), EncodeIniText("_ "));
    EXPECT_EQ(EncodeIniText(";x")[0], '_');
    EXPECT_EQ(EncodeIniText("[x")[0], '_');
}

TEST(IniFile, EveryByteStringRoundTrips) {
    std::mt19937 rng(12345);
    const std::string favoured = " _=;[\r\n\t%";
    for (int round = 0; round < 20000; ++round) {
        std::string s(rng() % 24, '\0');
        for (char& c : s)
            c = (rng() % 2) ? favoured[rng() % favoured.size()] : static_cast<char>(rng() % 256);
        const std::string e = EncodeIniText(s);
        ASSERT_EQ(DecodeIniText(e), s) << "encoded: " << e;
        // The encoded form survives a key=value line: no line breaks, no "=", no
        // leading comment or section mark, nothing a reader would trim.
        ASSERT_EQ(e.find_first_of("=\r\n\t"), std::string::npos) << e;
        if (!e.empty()) {
            ASSERT_NE(e[0], ';');
            ASSERT_NE(e[0], '[');
            ASSERT_GT(static_cast<unsigned char>(e.front()), ' ');
            ASSERT_GT(static_cast<unsigned char>(e.back()), ' ');
        }
    }
}

TEST(IniFile, WriteAndReadBack) {
    TempDir t;
    const std::string f = t.file("job.exd");
    EXPECT_TRUE(IniWriteText("Main", "save path", "/home/u/my files", f));
    EXPECT_TRUE(IniWriteText("Main", "a=b;c", "line1\nline2", f));
    EXPECT_TRUE(IniWriteRaw("Main", "Url", "http://h/x?a=1", f));
    EXPECT_TRUE(IniWriteInt("Main", "Size", 6000000000ll, f));
    EXPECT_TRUE(IniWriteRaw("Other", "Url", "o", f));
    const std::string longPath = "/data/" + std::string(600, 'p') + "/file.bin";
    EXPECT_TRUE(IniWriteText("Main", "Long", longPath, f));

    EXPECT_EQ(IniReadText("Main", "save path", "", false, f), "/home/u/my files");
    EXPECT_EQ(IniReadText("MAIN", "SAVE PATH", "", false, f), "/home/u/my files");
    EXPECT_EQ(IniReadText("Main", "a=b;c", "", false, f), "line1\nline2");
    EXPECT_EQ(IniReadRaw("Main", "url", "", false, f), "http://h/x?a=1");
    EXPECT_EQ(IniReadRaw("other", "URL", "", false, f), "o");
    EXPECT_EQ(IniReadInt("Main", "Size", -1, f), 6000000000ll);
    EXPECT_EQ(IniReadText("Main", "Long", "", false, f), longPath);

    // Overwriting replaces the value; the key keeps its spelling.
    EXPECT_TRUE(IniWriteRaw("main", "URL", "new", f));
    EXPECT_EQ(IniReadRaw("Main", "Url", "", false, f), "new");
    std::vector<std::string> keys;
    EXPECT_EQ(IniReadKeys(f, "Main", keys), 5);
    EXPECT_EQ(keys, (std::vector<std::string>{"save_path", "a_ 3db;c", "Url", "Size", "Long"}));

    struct stat st {};
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // Nothing but the file itself is left in the folder.
    int entries = 0;
    DIR* d = opendir(t.path().c_str());
    while (const dirent* e = readdir(d)) entries += e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(entries, 1);
}

TEST(IniFile, DefaultsBlankKeysAndForeignFiles) {
    TempDir t;
    const std::string f = t.file("x.ini");
    WriteFile(f, "; kept comment\r\n[Main]\r\n Name = value \r\nk=\r\nx=1\r\nbad=12a\r\n\r\n[Next]\r\ny=2\r\n");

    EXPECT_EQ(IniReadRaw("Main", "name", "", false, f), "value");
    EXPECT_EQ(IniReadRaw("Main", "missing", "dflt", false, f), "dflt");
    EXPECT_EQ(IniReadRaw("Main", "k", "dflt", false, f), "dflt");
    EXPECT_EQ(IniReadInt("Main", "bad", 7, f), 7);
    EXPECT_EQ(IniReadInt("Main", "none", 7, f), 7);
    EXPECT_EQ(IniReadRaw("Main", " ", "dflt", true, f), "dflt");
    EXPECT_FALSE(IniWriteRaw("Main", " ", "v", f));
    EXPECT_FALSE(IniWriteText("Main", "", "v", f));
    EXPECT_FALSE(IniWriteRaw("Main", "k", "two\nlines", f));

    // Write-back stores the default in its own section; other lines stay.
    EXPECT_EQ(IniReadText("Main", "new key", "a b", true, f), "a b");
    EXPECT_EQ(IniReadRaw("Main", "new_key", "", false, f), "a_b");
    EXPECT_EQ(IniReadRaw("Next", "y", "", false, f), "2");
    EXPECT_EQ(ReadFile(f).rfind("; kept comment\n", 0), 0u);

    std::vector<std::string> keys = {"pre"};
    EXPECT_EQ(IniReadKeys(f, "Main", keys), 4);  // "k" and "x" are too short
    EXPECT_EQ(keys, (std::vector<std::string>{"pre", "Name", "bad", "new_key"}));
    EXPECT_EQ(IniReadKeys(t.file("none.ini"), "Main", keys), 0);

    // Writes into a folder that does not exist fail.
    EXPECT_FALSE(IniWriteRaw("S", "key", "v", t.file("no/such.ini")));
}

} // namespace
} // namespace tq

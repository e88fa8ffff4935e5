// Private-profile (INI) reading and writing.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/Ini.h"
#include "support/TestEnv.h"

namespace {

class IniTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = testenv::InstallDir() + "/ini-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_path = m_dir + "/test.ini";
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }

    void Write(const std::string& content) { testenv::WriteFile(m_path, content); }
    std::string Content() const { return testenv::ReadFile(m_path); }

    std::string GetString(const char* section, const char* key, const char* def = "<default>") {
        char buffer[256];
        std::memset(buffer, 'x', sizeof(buffer));
        DWORD n = GetPrivateProfileStringA(section, key, def, buffer, sizeof(buffer), m_path.c_str());
        EXPECT_EQ(n, std::strlen(buffer)) << "returned length differs from copied text";
        return std::string(buffer);
    }

    int GetInt(const char* section, const char* key, int def = -999) {
        return static_cast<int>(GetPrivateProfileIntA(section, key, def, m_path.c_str()));
    }

    std::string m_dir;
    std::string m_path;
};

// ---------------------------------------------------------------------------
// Integer text rule

TEST(IniParseIntTest, LeadingDecimalDigitsWithOptionalBlanksAndSign) {
    EXPECT_EQ(IniParseInt(" -12abc"), -12);
    EXPECT_EQ(IniParseInt("abc"), 0);
    EXPECT_EQ(IniParseInt(""), 0);
    EXPECT_EQ(IniParseInt("+7"), 7);
    EXPECT_EQ(IniParseInt("42"), 42);
    EXPECT_EQ(IniParseInt("\t 15 "), 15);
    EXPECT_EQ(IniParseInt("007"), 7);
    EXPECT_EQ(IniParseInt("12 34"), 12);
    EXPECT_EQ(IniParseInt("3.9"), 3);
    EXPECT_EQ(IniParseInt("-"), 0);
    EXPECT_EQ(IniParseInt("+"), 0);
    EXPECT_EQ(IniParseInt("- 5"), 0);
    EXPECT_EQ(IniParseInt("0x10"), 0);
    EXPECT_EQ(IniParseInt("-0"), 0);
    EXPECT_EQ(IniParseInt("2147483647"), 2147483647);
    EXPECT_EQ(IniParseInt("-2147483648"), -2147483647 - 1);
}

// ---------------------------------------------------------------------------
// Reading

TEST_F(IniTest, SectionAndKeyNamesIgnoreCase) {
    Write("[Database]\nHostName=db.local\nPort=3306\n");
    EXPECT_EQ(GetString("DATABASE", "hostname"), "db.local");
    EXPECT_EQ(GetString("database", "HOSTNAME"), "db.local");
    EXPECT_EQ(GetString("DataBase", "HostName"), "db.local");
    EXPECT_EQ(GetInt("DATABASE", "PORT"), 3306);
}

TEST_F(IniTest, AbsentKeySectionOrFileGivesTheDefault) {
    Write("[A]\nk=v\n");
    EXPECT_EQ(GetString("A", "missing", "dflt"), "dflt");
    EXPECT_EQ(GetString("B", "k", "dflt"), "dflt");
    EXPECT_EQ(GetString("A", "missing", nullptr), "");
    EXPECT_EQ(GetInt("A", "missing", 17), 17);
    EXPECT_EQ(GetInt("A", "missing", -3), -3);
    EXPECT_EQ(GetInt("B", "k", 5), 5);

    std::string absent = m_dir + "/absent.ini";
    char buffer[32];
    EXPECT_EQ(GetPrivateProfileStringA("A", "k", "none", buffer, sizeof(buffer), absent.c_str()), 4u);
    EXPECT_STREQ(buffer, "none");
    EXPECT_EQ(GetPrivateProfileIntA("A", "k", 8, absent.c_str()), 8u);
}

TEST_F(IniTest, FirstMatchingSectionAndKeyWin) {
    Write("[Net]\nPort=1\nPort=2\n[Other]\nPort=5\n[net]\nPort=3\nOnlyInSecond=yes\n");
    EXPECT_EQ(GetInt("NET", "port"), 1);
    EXPECT_EQ(GetString("Net", "OnlyInSecond", "no"), "no");
    EXPECT_EQ(GetInt("Other", "Port"), 5);
}

TEST_F(IniTest, IntegerReadsUseTheIntegerRule) {
    Write("[I]\na= -12abc\nb=abc\nc=\nd=+7\ne=  99  \nf=-0042\n");
    EXPECT_EQ(GetInt("I", "a"), -12);
    EXPECT_EQ(GetInt("I", "b"), 0);
    EXPECT_EQ(GetInt("I", "c"), 0);  // present but empty: 0, not the default
    EXPECT_EQ(GetInt("I", "d"), 7);
    EXPECT_EQ(GetInt("I", "e"), 99);
    EXPECT_EQ(GetInt("I", "f"), -42);
    EXPECT_EQ(GetInt("I", "g", 123), 123);
}

TEST_F(IniTest, StringReadsStripBlanksAndOneMatchingPairOfQuotes) {
    Write(
        "[S]\n"
        "plain=  some value with spaces \t\n"
        "dq=\"quoted value\"\n"
        "sq='single'\n"
        "inner=\"  keeps inner blanks  \"\n"
        "mismatch=\"abc'\n"
        "open=\"abc\n"
        "twice=\"\"abc\"\"\n"
        "lone=\"\n"
        "empty=\"\"\n"
        "blank=\n"
        "  spaced key  =  v  \n"
        "eq=a=b\n");
    EXPECT_EQ(GetString("S", "plain"), "some value with spaces");
    EXPECT_EQ(GetString("S", "dq"), "quoted value");
    EXPECT_EQ(GetString("S", "sq"), "single");
    EXPECT_EQ(GetString("S", "inner"), "  keeps inner blanks  ");
    EXPECT_EQ(GetString("S", "mismatch"), "\"abc'");
    EXPECT_EQ(GetString("S", "open"), "\"abc");
    EXPECT_EQ(GetString("S", "twice"), "\"abc\"");
    EXPECT_EQ(GetString("S", "lone"), "\"");
    EXPECT_EQ(GetString("S", "empty"), "");
    EXPECT_EQ(GetString("S", "blank"), "");
    EXPECT_EQ(GetString("S", "spaced key"), "v");
    EXPECT_EQ(GetString("S", "eq"), "a=b");
}

TEST_F(IniTest, CommentLinesAreIgnored) {
    Write("; leading comment\n[C]\n;key=commented\n   ; key=indented comment\nkey=real\n;other=1\n");
    EXPECT_EQ(GetString("C", "key"), "real");
    EXPECT_EQ(GetString("C", "other", "dflt"), "dflt");
    EXPECT_EQ(GetString("C", ";other", "dflt"), "dflt");
}

TEST_F(IniTest, WindowsLineEndingsAreRead) {
    Write("[W]\r\nname=value\r\nnum=12\r\n\r\n[X]\r\nk=\"q\"\r\n");
    EXPECT_EQ(GetString("W", "name"), "value");
    EXPECT_EQ(GetInt("W", "num"), 12);
    EXPECT_EQ(GetString("X", "k"), "q");
}

TEST_F(IniTest, GbkBytesPassThroughUntouched) {
    const std::string gbk = "\xD6\xD0\xCE\xC4";  // two GBK characters
    Write("[T]\nname=" + gbk + "\n");
    EXPECT_EQ(GetString("T", "name"), gbk);
}

TEST_F(IniTest, StringReadIsCutToTheBuffer) {
    Write("[S]\nk=abcdef\n");
    char buffer[8];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(GetPrivateProfileStringA("S", "k", "", buffer, 4, m_path.c_str()), 3u);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], 'x') << "wrote past the given size";

    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(GetPrivateProfileStringA("S", "k", "", buffer, 7, m_path.c_str()), 6u);
    EXPECT_STREQ(buffer, "abcdef");

    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(GetPrivateProfileStringA("S", "k", "", buffer, 1, m_path.c_str()), 0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'x');

    // The default is cut the same way.
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(GetPrivateProfileStringA("S", "none", "123456", buffer, 3, m_path.c_str()), 2u);
    EXPECT_STREQ(buffer, "12");

    EXPECT_EQ(GetPrivateProfileStringA("S", "k", "", nullptr, 10, m_path.c_str()), 0u);
}

TEST_F(IniTest, SectionReadReturnsLinesInOrderWithoutCommentsOrBlanks) {
    Write(
        "[First]\n"
        "x=0\n"
        "[Servers]\n"
        "  alpha=1  \n"
        "; a comment\n"
        "\n"
        "plain line\n"
        "beta = 2\n"
        "[Next]\n"
        "gamma=3\n");
    std::vector<std::string> lines;
    ASSERT_TRUE(IniReadSection(m_path, "servers", &lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"alpha=1", "plain line", "beta = 2"}));

    ASSERT_TRUE(IniReadSection(m_path, "NEXT", &lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"gamma=3"}));

    EXPECT_FALSE(IniReadSection(m_path, "Missing", &lines));
    EXPECT_FALSE(IniReadSection(m_dir + "/absent.ini", "Servers", &lines));
}

TEST_F(IniTest, EmptySectionIsFoundButHasNoLines) {
    Write("[Empty]\n; only a comment\n\n[Full]\na=1\n");
    std::vector<std::string> lines{"stale"};
    ASSERT_TRUE(IniReadSection(m_path, "Empty", &lines));
    EXPECT_TRUE(lines.empty());

    char buffer[16];
    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(GetPrivateProfileSectionA("Empty", buffer, sizeof(buffer), m_path.c_str()), 0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '\0');
}

TEST_F(IniTest, SectionBufferHoldsZeroSeparatedLines) {
    Write("[S]\na=1\n;c\nb\n\ncc=3\n[T]\nz=9\n");
    char buffer[64];
    std::memset(buffer, 'x', sizeof(buffer));
    DWORD n = GetPrivateProfileSectionA("s", buffer, sizeof(buffer), m_path.c_str());
    const char expected[] = "a=1\0b\0cc=3\0";  // plus the final zero of the literal
    ASSERT_EQ(n, sizeof(expected) - 1);
    EXPECT_EQ(std::string(buffer, n + 1), std::string(expected, sizeof(expected)));
    EXPECT_EQ(buffer[n + 1], 'x');

    std::memset(buffer, 'x', sizeof(buffer));
    EXPECT_EQ(GetPrivateProfileSectionA("Missing", buffer, sizeof(buffer), m_path.c_str()), 0u);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '\0');
}

TEST_F(IniTest, SectionBufferIsCutToFit) {
    Write("[S]\nabc\ndefgh\n");
    struct Case {
        DWORD size;
        DWORD expectedLength;
        std::string expectedBytes;  // the first `size` bytes
    };
    const Case cases[] = {
        // Everything fits exactly: "abc\0defgh\0\0".
        {11, 10, std::string("abc\0defgh\0\0", 11)},
        // The second line is cut in the middle.
        {8, 6, std::string("abc\0de\0\0", 8)},
        // The first line fills the buffer up to its last byte.
        {5, 3, std::string("abc\0\0", 5)},
        {6, 4, std::string("abc\0\0\0", 6)},
        // Even the first line does not fit.
        {3, 1, std::string("a\0\0", 3)},
        {2, 0, std::string("\0\0", 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size));
        char buffer[32];
        std::memset(buffer, 'x', sizeof(buffer));
        DWORD n = GetPrivateProfileSectionA("S", buffer, c.size, m_path.c_str());
        EXPECT_EQ(n, c.expectedLength);
        EXPECT_EQ(std::string(buffer, c.size), c.expectedBytes);
        EXPECT_EQ(buffer[c.size], 'x') << "wrote past the given size";
    }
}

TEST_F(IniTest, DocumentAnswersManyQueriesFromOneRead) {
    Write("[Main]\nName = \"Varn holt\"\nCount=4\n[List]\none\ntwo\n");
    CIniDocument doc;
    ASSERT_TRUE(doc.Load(m_path));

    std::string value;
    ASSERT_TRUE(doc.GetString("MAIN", "name", &value));
    EXPECT_EQ(value, "Varn holt");
    ASSERT_TRUE(doc.GetString("main", "COUNT", &value));
    EXPECT_EQ(value, "4");
    EXPECT_FALSE(doc.GetString("Main", "missing", &value));
    EXPECT_FALSE(doc.GetString("Missing", "Name", &value));

    std::vector<std::string> lines;
    ASSERT_TRUE(doc.GetSection("list", &lines));
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));

    // The document is a snapshot: later changes to the file are not seen.
    Write("[Main]\nName=changed\n");
    ASSERT_TRUE(doc.GetString("Main", "Name", &value));
    EXPECT_EQ(value, "Varn holt");
    ASSERT_TRUE(doc.Load(m_path));
    ASSERT_TRUE(doc.GetString("Main", "Name", &value));
    EXPECT_EQ(value, "changed");
}

TEST_F(IniTest, DocumentLoadOfAMissingFileFails) {
    CIniDocument doc;
    SetLastError(0);
    EXPECT_FALSE(doc.Load(m_dir + "/absent.ini"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    std::string value;
    EXPECT_FALSE(doc.GetString("A", "b", &value));
}

TEST_F(IniTest, WholeValueReadReportsAbsence) {
    Write("[A]\nempty=\nfull=  x  \n");
    std::string value = "stale";
    ASSERT_TRUE(IniReadString(m_path, "a", "EMPTY", &value));
    EXPECT_EQ(value, "");
    ASSERT_TRUE(IniReadString(m_path, "A", "full", &value));
    EXPECT_EQ(value, "x");
    EXPECT_FALSE(IniReadString(m_path, "A", "none", &value));
    EXPECT_FALSE(IniReadString(m_path, "B", "full", &value));
    EXPECT_FALSE(IniReadString(m_dir + "/absent.ini", "A", "full", &value));
}

TEST_F(IniTest, EveryCallReadsTheFileAgain) {
    Write("[A]\nk=1\n");
    EXPECT_EQ(GetInt("A", "k"), 1);
    Write("[A]\nk=2\n");
    EXPECT_EQ(GetInt("A", "k"), 2);
}

// ---------------------------------------------------------------------------
// Writing

TEST_F(IniTest, WriteReplacesAKeyAndKeepsEverythingElse) {
    Write("; header comment\n[S]\nA=1\n; note about B\nB=2\n\n[T]\nA=9\n");
    ASSERT_TRUE(WritePrivateProfileStringA("S", "A", "5", m_path.c_str()));
    EXPECT_EQ(Content(), "; header comment\n[S]\nA=5\n; note about B\nB=2\n\n[T]\nA=9\n");

    // Found ignoring case; the other section's key of the same name is untouched.
    ASSERT_TRUE(WritePrivateProfileStringA("s", "b", "two", m_path.c_str()));
    EXPECT_EQ(GetString("S", "B"), "two");
    EXPECT_EQ(GetString("S", "A"), "5");
    EXPECT_EQ(GetString("T", "A"), "9");
    std::vector<std::string> lines = testenv::SplitLines(Content());
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "; header comment");
    EXPECT_EQ(lines[3], "; note about B");
}

TEST_F(IniTest, WriteAddsAMissingKeyInsideItsSection) {
    Write("[S]\nA=1\n\n[T]\nB=2\n");
    ASSERT_TRUE(WritePrivateProfileStringA("S", "C", "3", m_path.c_str()));
    EXPECT_EQ(GetString("S", "C"), "3");
    EXPECT_EQ(GetString("T", "C"), "<default>");
    EXPECT_EQ(GetString("S", "A"), "1");
    EXPECT_EQ(GetString("T", "B"), "2");

    std::vector<std::string> lines = testenv::SplitLines(Content());
    auto indexOf = [&](const std::string& line) {
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i] == line) return static_cast<int>(i);
        }
        return -1;
    };
    EXPECT_GT(indexOf("C=3"), indexOf("A=1"));
    EXPECT_LT(indexOf("C=3"), indexOf("[T]"));
    EXPECT_EQ(lines.size(), 6u);
}

TEST_F(IniTest, WriteAddsAMissingSectionAtTheEnd) {
    const std::string original = "[S]\nA=1\n; trailing comment\n";
    Write(original);
    ASSERT_TRUE(WritePrivateProfileStringA("New", "Key", "Value", m_path.c_str()));
    std::string content = Content();
    EXPECT_EQ(content.substr(0, original.size()), original);
    EXPECT_EQ(GetString("New", "Key"), "Value");
    EXPECT_EQ(GetString("S", "A"), "1");
    std::vector<std::string> lines = testenv::SplitLines(content);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[lines.size() - 2], "[New]");
    EXPECT_EQ(lines.back(), "Key=Value");
}

TEST_F(IniTest, WritingANullValueRemovesTheKey) {
    Write("[S]\nA=1\nB=2\nC=3\n[T]\nB=4\n");
    ASSERT_TRUE(WritePrivateProfileStringA("S", "b", nullptr, m_path.c_str()));
    EXPECT_EQ(Content(), "[S]\nA=1\nC=3\n[T]\nB=4\n");
    EXPECT_EQ(GetString("S", "B"), "<default>");

    // Removing what is not there changes nothing.
    ASSERT_TRUE(WritePrivateProfileStringA("S", "missing", nullptr, m_path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Missing", "A", nullptr, m_path.c_str()));
    EXPECT_EQ(Content(), "[S]\nA=1\nC=3\n[T]\nB=4\n");
}

TEST_F(IniTest, WriteCreatesAMissingFile) {
    std::string path = m_dir + "/new.ini";
    ASSERT_FALSE(testenv::FileExists(path));
    ASSERT_TRUE(WritePrivateProfileStringA("Sec", "Key", "v1", path.c_str()));
    ASSERT_TRUE(testenv::FileExists(path));
    std::string value;
    ASSERT_TRUE(IniReadString(path, "Sec", "Key", &value));
    EXPECT_EQ(value, "v1");
    EXPECT_EQ(testenv::ReadFile(path), "[Sec]\nKey=v1\n");

    ASSERT_TRUE(WritePrivateProfileStringA("Sec", "Other", "7", path.c_str()));
    EXPECT_EQ(GetPrivateProfileIntA("Sec", "Other", 0, path.c_str()), 7u);
    // No temporary file is left beside it.
    EXPECT_EQ(testenv::ListFiles(m_dir), (std::vector<std::string>{"new.ini"}));
}

TEST_F(IniTest, WriteIntoAMissingDirectoryFails) {
    std::string path = m_dir + "/no/such/dir/x.ini";
    EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "V", path.c_str()));
    EXPECT_FALSE(testenv::FileExists(path));
    EXPECT_FALSE(WritePrivateProfileStringA(nullptr, "K", "V", m_path.c_str()));
    EXPECT_FALSE(WritePrivateProfileStringA("S", nullptr, "V", m_path.c_str()));
    EXPECT_FALSE(WritePrivateProfileStringA("S", "K", "V", nullptr));
}

TEST_F(IniTest, WriteKeepsWindowsLineEndings) {
    Write("[S]\r\nA=1\r\n[T]\r\nB=2\r\n");
    ASSERT_TRUE(WritePrivateProfileStringA("S", "A", "10", m_path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("S", "C", "3", m_path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("U", "D", "4", m_path.c_str()));
    std::string content = Content();
    for (const std::string& line : testenv::SplitLines(content)) {
        ASSERT_FALSE(line.empty());
        EXPECT_EQ(line.back(), '\r') << "line '" << line << "' lost its CR";
    }
    EXPECT_EQ(GetInt("S", "A"), 10);
    EXPECT_EQ(GetInt("S", "C"), 3);
    EXPECT_EQ(GetInt("U", "D"), 4);
    EXPECT_EQ(GetInt("T", "B"), 2);
}

TEST_F(IniTest, ConcurrentWritesToOneFileKeepEveryKey) {
    constexpr int kThreads = 6;
    constexpr int kKeysPerThread = 15;
    Write("; shared file\n[Keep]\nx=1\n");
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            const std::string section = "T" + std::to_string(t);
            for (int k = 0; k < kKeysPerThread; ++k) {
                const std::string key = "k" + std::to_string(k);
                const std::string value = std::to_string(t * 1000 + k);
                if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), m_path.c_str())) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    for (auto& w : writers) w.join();
    EXPECT_EQ(failures.load(), 0);

    CIniDocument doc;
    ASSERT_TRUE(doc.Load(m_path));
    std::string value;
    ASSERT_TRUE(doc.GetString("Keep", "x", &value));
    EXPECT_EQ(value, "1");
    for (int t = 0; t < kThreads; ++t) {
        for (int k = 0; k < kKeysPerThread; ++k) {
            const std::string section = "T" + std::to_string(t);
            const std::string key = "k" + std::to_string(k);
            ASSERT_TRUE(doc.GetString(section, key, &value)) << section << "/" << key << " was lost";
            EXPECT_EQ(value, std::to_string(t * 1000 + k));
        }
    }
}

TEST_F(IniTest, WrittenValuesReadBackThroughEveryReader) {
    ASSERT_TRUE(WritePrivateProfileStringA("Cfg", "Port", "8080", m_path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Cfg", "Name", "svc", m_path.c_str()));
    ASSERT_TRUE(WritePrivateProfileStringA("Cfg", "Port", "9090", m_path.c_str()));
    EXPECT_EQ(GetInt("cfg", "port"), 9090);
    EXPECT_EQ(GetString("CFG", "NAME"), "svc");

    char buffer[64];
    DWORD n = GetPrivateProfileSectionA("Cfg", buffer, sizeof(buffer), m_path.c_str());
    EXPECT_EQ(std::string(buffer, n), std::string("Port=9090\0Name=svc\0", 19));
}

}  // namespace

#include "platform/Registry.h"
#include "platform/Env.h"

#include "common/Format.h"
#include "tests/TestSupport.h"
#include "tests/support/FaultyEnv.h"

#include <gtest/gtest.h>
#include <dirent.h>
#include <iconv.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>

using namespace keyrix;
using namespace keyrix::platform;
using keyrix::test::TTempDir;

namespace {

// The lines of a hive file, each ended with CR LF as regedit ends them.
std::string CrLf(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

// What regedit writes: UTF-16LE behind a byte order mark.
std::string Utf16LeWithBom(const std::string& utf8) {
    struct TIconv {
        iconv_t Handle = ::iconv_open("UTF-16LE", "UTF-8");
        ~TIconv() { ::iconv_close(Handle); }
    } converter;
    std::string out(utf8.size() * 4 + 2, '\0');
    out[0] = '\xFF';
    out[1] = '\xFE';
    char* in = const_cast<char*>(utf8.data());
    std::size_t inLeft = utf8.size();
    char* outPtr = out.data() + 2;
    std::size_t outLeft = out.size() - 2;
    if (::iconv(converter.Handle, &in, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1))
        throw std::runtime_error("iconv failed");
    out.resize(out.size() - outLeft);
    return out;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::set<std::string> FolderEntries(const std::string& folder) {
    std::set<std::string> names;
    struct TCloseDir {
        void operator()(DIR* dir) const { ::closedir(dir); }
    };
    std::unique_ptr<DIR, TCloseDir> dir(::opendir(folder.c_str()));
    while (dir) {
        const dirent* entry = ::readdir(dir.get());
        if (entry == nullptr) break;
        std::string name = entry->d_name;
        if (name != "." && name != "..") names.insert(name);
    }
    return names;
}

// Runs the function in a forked child that ends with its result as exit code (100 for an
// error it raised); answers the child's id.
pid_t ForkChild(const std::function<int()>& function) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    int code = 100;
    try {
        code = function();
    } catch (...) {
    }
    ::_exit(code);
}

int WaitExitCode(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Type and ANSI data of every value of the key, in file order.
std::vector<std::tuple<std::string, std::uint32_t, std::string>> ValuesOf(TRegistry& registry) {
    std::vector<std::string> names;
    EXPECT_EQ(registry.CurrentKey()->ValueNames(names), ERROR_SUCCESS);
    std::vector<std::tuple<std::string, std::uint32_t, std::string>> values;
    for (const std::string& name : names) {
        std::uint32_t type = REG_NONE;
        std::string data;
        EXPECT_EQ(registry.QueryRaw(name, type, data), ERROR_SUCCESS) << name;
        values.emplace_back(name, type, data);
    }
    return values;
}

class Registry : public ::testing::Test {
protected:
    TTempDir Dir;
    const std::string Path = Dir.File("registry.reg");
    std::shared_ptr<TRegistryHive> Hive = TRegistryHive::Open(Path);
};

}  // namespace

TEST_F(Registry, CreateSetQueryDeleteRoundTripThroughTheFile) {
    TRegistry registry(Hive);
    ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix\\Test", true)) << registry.LastError();
    EXPECT_EQ(registry.CurrentPath(), "Software\\Keyrix\\Test");
    registry.WriteString("Server", "db01:C:\\Keyrix\\KEYRIX.FDB");
    registry.WriteString("Quote", "say \"hi\"");
    registry.WriteInteger("Port", 3050);
    registry.WriteInteger("Offset", -2);
    registry.WriteBool("Enabled", true);
    registry.WriteExpandString("LogFolder", "%ProgramData%\\Keyrix\\Logs");
    ASSERT_EQ(registry.SetRaw("", REG_SZ, std::string("default\0", 8)), ERROR_SUCCESS);
    ASSERT_EQ(registry.SetRaw("Hosts", REG_MULTI_SZ, std::string("a\0bc\0\0", 6)), ERROR_SUCCESS);
    std::string blob;
    for (char c = 0; c < 30; ++c) blob += c;
    ASSERT_EQ(registry.SetRaw("Blob", REG_BINARY, blob), ERROR_SUCCESS);

    EXPECT_EQ(test::ReadFile(Path),
              CrLf({
                  "Windows Registry Editor Version 5.00",
                  "",
                  R"([HKEY_LOCAL_MACHINE\Software])",
                  "",
                  R"([HKEY_LOCAL_MACHINE\Software\Keyrix])",
                  "",
                  R"([HKEY_LOCAL_MACHINE\Software\Keyrix\Test])",
                  R"("Server"="db01:C:\\Keyrix\\KEYRIX.FDB")",
                  R"("Quote"="say \"hi\"")",
                  R"("Port"=dword:00000bea)",
                  R"("Offset"=dword:fffffffe)",
                  R"("Enabled"=dword:00000001)",
                  R"("LogFolder"=hex(2):25,00,50,00,72,00,6f,00,67,00,72,00,61,00,6d,00,44,00,61,\)",
                  R"(  00,74,00,61,00,25,00,5c,00,4b,00,65,00,79,00,72,00,69,00,78,00,5c,00,4c,00,\)",
                  R"(  6f,00,67,00,73,00,00,00)",
                  R"(@="default")",
                  R"("Hosts"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00)",
                  R"("Blob"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\)",
                  R"(  16,17,18,19,1a,1b,1c,1d)",
                  "",
              }));

    // Another object over the same file reads it all back.
    TRegistry reader(TRegistryHive::Open(Path), TRegAccess::Read);
    ASSERT_TRUE(reader.OpenKey("\\Software\\Keyrix\\Test", false));
    EXPECT_EQ(reader.ReadString("Server"), "db01:C:\\Keyrix\\KEYRIX.FDB");
    EXPECT_EQ(reader.ReadString("Quote"), "say \"hi\"");
    EXPECT_EQ(reader.ReadInteger("Port"), 3050);
    EXPECT_EQ(reader.ReadInteger("Offset"), -2);
    EXPECT_TRUE(reader.ReadBool("Enabled"));
    EXPECT_EQ(reader.GetDataType("LogFolder"), REG_EXPAND_SZ);
    EXPECT_EQ(reader.ReadString("LogFolder"), "%ProgramData%\\Keyrix\\Logs") << "returned unexpanded";
    EXPECT_EQ(reader.ReadString(""), "default");
    std::uint32_t type = REG_NONE;
    std::string data;
    ASSERT_EQ(reader.QueryRaw("Server", type, data), ERROR_SUCCESS);
    EXPECT_EQ(data, std::string("db01:C:\\Keyrix\\KEYRIX.FDB\0", 26)) << "REG_SZ carries its terminating NUL";
    ASSERT_EQ(reader.QueryRaw("Hosts", type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(data, std::string("a\0bc\0\0", 6));
    ASSERT_EQ(reader.QueryRaw("Blob", type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(data, blob);
    EXPECT_EQ(reader.GetDataType("Missing"), REG_NONE);
    EXPECT_EQ(reader.LastError(), ERROR_FILE_NOT_FOUND);

    // Deleting.
    EXPECT_TRUE(registry.DeleteValue("Quote"));
    EXPECT_FALSE(registry.DeleteValue("Quote"));
    EXPECT_EQ(registry.LastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(reader.ValueExists("Quote"));
    EXPECT_TRUE(registry.DeleteKey("\\Software\\Keyrix\\Test"));
    EXPECT_FALSE(registry.KeyExists("\\Software\\Keyrix\\Test"));
    EXPECT_EQ(registry.LastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(reader.ValueExists("Server")) << "the open key was deleted";
    EXPECT_EQ(reader.LastError(), ERROR_KEY_DELETED);
    EXPECT_EQ(registry.SetRaw("Server", REG_SZ, std::string("x\0", 2)), ERROR_KEY_DELETED);
    EXPECT_EQ(test::ReadFile(Path), CrLf({
                                        "Windows Registry Editor Version 5.00",
                                        "",
                                        R"([HKEY_LOCAL_MACHINE\Software])",
                                        "",
                                        R"([HKEY_LOCAL_MACHINE\Software\Keyrix])",
                                        "",
                                    }));
    EXPECT_FALSE(registry.DeleteKey("\\Software\\Keyrix\\Test"));
    EXPECT_EQ(registry.LastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, MissingHiveIsAnEmptyRegistryAndReadingCreatesNoFile) {
    const std::string path = Dir.File("etc/keyrix/registry.reg");
    TRegistry registry(TRegistryHive::Open(path));
    EXPECT_FALSE(registry.OpenKey("\\Software\\Keyrix", false));
    EXPECT_EQ(registry.LastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(registry.OpenKeyReadOnly("\\Software"));
    EXPECT_EQ(registry.LastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(registry.KeyExists("\\Software"));
    EXPECT_FALSE(registry.DeleteKey("\\Software"));
    EXPECT_EQ(registry.LastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(registry.OpenKey("", false)) << "HKEY_LOCAL_MACHINE itself is always there";
    EXPECT_FALSE(registry.ValueExists("Version"));
    EXPECT_EQ(registry.LastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(registry.DeleteValue("Version"));
    std::vector<std::string> names{"stale"};
    EXPECT_EQ(registry.CurrentKey()->SubKeyNames(names), ERROR_SUCCESS);
    EXPECT_TRUE(names.empty());
    EXPECT_TRUE(FolderEntries(Dir.Path()).empty()) << "neither the folder, the hive nor a lock file was made";
}

TEST_F(Registry, RegeditUtf16ExportIsReadAndWrittenBackEquivalently) {
    std::vector<std::string> lines = {
        "Windows Registry Editor Version 5.00",
        "",
        "; exported on the database server",
        R"([HKEY_LOCAL_MACHINE\SOFTWARE\Keyrix\Synchronizer\Clients\VLHRM])",
        R"(@="VLHRM client")",
        R"("Server"="srv-db01:C:\\Keyrix\\KEYRIX.FDB")",
        "\"Company\"=\"M\xc3\xbcller & S\xc3\xb6hne \\\"HRM\\\"\"",
        R"("Interval"=dword:0000003c)",
        R"("LogFolder"=hex(2):25,00,50,00,72,00,6f,00,67,00,72,00,61,00,6d,00,44,00,61,\)",
        R"(  00,74,00,61,00,25,00,5c,00,4b,00,65,00,79,00,72,00,69,00,78,00,00,00)",
        R"("Hosts"=hex(7):68,00,72,00,6d,00,31,00,00,00,68,00,72,00,6d,00,32,00,00,00,\)",
        R"(  00,00)",
        "",
        R"([HKEY_LOCAL_MACHINE\SOFTWARE\Keyrix\Synchronizer\Clients\VLHRM\Database])",
        R"("Port"=dword:00000bea)",
        "",
        R"([HKEY_CURRENT_USER\Software\Other])",
        R"("Last"="x")",
        "",
    };
    test::WriteFile(Path, Utf16LeWithBom(CrLf(lines)));

    TRegistry registry(Hive);
    ASSERT_TRUE(registry.OpenKeyReadOnly("\\Software\\keyrix\\Synchronizer\\Clients\\VLHRM")) << registry.LastError();
    EXPECT_EQ(registry.CurrentPath(), "SOFTWARE\\Keyrix\\Synchronizer\\Clients\\VLHRM");
    EXPECT_EQ(registry.ReadString(""), "VLHRM client");
    EXPECT_EQ(registry.ReadString("Server"), "srv-db01:C:\\Keyrix\\KEYRIX.FDB");
    EXPECT_EQ(registry.ReadString("Company"), "M\xfcller & S\xf6hne \"HRM\"");
    EXPECT_EQ(registry.ReadInteger("Interval"), 60);
    EXPECT_EQ(registry.GetDataType("LogFolder"), REG_EXPAND_SZ);
    EXPECT_EQ(registry.ReadString("LogFolder"), "%ProgramData%\\Keyrix");
    std::uint32_t type = REG_NONE;
    std::string data;
    ASSERT_EQ(registry.QueryRaw("Hosts", type, data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(data, std::string("hrm1\0hrm2\0\0", 11));
    const auto before = ValuesOf(registry);
    EXPECT_EQ(before.size(), 6u);
    EXPECT_TRUE(registry.KeyExists("Database"));
    EXPECT_TRUE(registry.KeyExists("\\SOFTWARE")) << "keys above an exported one exist";
    EXPECT_FALSE(registry.KeyExists("\\Software\\Other")) << "other roots are not reached";

    ASSERT_TRUE(registry.OpenKey("\\SOFTWARE\\Keyrix\\Synchronizer\\Clients\\VLHRM", false)) << registry.LastError();
    registry.WriteInteger("Retries", 3);

    // Written back in UTF-8 with CR LF, each value as regedit spells it; comments go.
    lines.erase(lines.begin() + 2);
    lines.insert(lines.begin() + 11, R"("Retries"=dword:00000003)");
    EXPECT_EQ(test::ReadFile(Path), CrLf(lines));

    TRegistry reread(TRegistryHive::Open(Path), TRegAccess::Read);
    ASSERT_TRUE(reread.OpenKey("\\Software\\Keyrix\\Synchronizer\\Clients\\VLHRM", false));
    auto after = ValuesOf(reread);
    ASSERT_EQ(after.size(), 7u);
    EXPECT_EQ(after.back(), std::make_tuple(std::string("Retries"), REG_DWORD, std::string("\3\0\0\0", 4)));
    after.pop_back();
    EXPECT_EQ(after, before);
    ASSERT_TRUE(reread.OpenKey("Database", false));
    EXPECT_EQ(reread.ReadInteger("Port"), 3050);
}

TEST_F(Registry, AcceptedEncodingsAndSpellings) {
    struct TCase {
        const char* What;
        std::string Bytes;
        const char* Name;
        std::string Expected;  // ANSI
    };
    const TCase cases[] = {
        {"UTF-8 with BOM and LF line ends",
         "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n\"S\"=\"M\xc3\xbc\"\n", "S",
         "M\xfc"},
        {"REGEDIT4 in the ANSI code page, its hex(2) in ANSI",
         CrLf({"REGEDIT4", "", R"([HKEY_LOCAL_MACHINE\K])", "\"S\"=\"M\xfc\"", R"("E"=hex(2):25,41,25,fc,00)"}), "E",
         "%A%\xfc"},
        {"REGEDIT4 in UTF-8", CrLf({"REGEDIT4", "", R"([HKEY_LOCAL_MACHINE\K])", "\"S\"=\"M\xc3\xbc\""}), "S", "M\xfc"},
        {"upper case hex, blanks, a comma before the continuation and a blank continuation",
         CrLf({"Windows Registry Editor Version 5.00", R"([HKEY_LOCAL_MACHINE\K])", R"("S" = HEX(1):41,00,  \)",
               "\t42,00,\\", "", "; a comment", R"("N"=DWORD:0000000C)"}),
         "S", "AB"},
        {"a key listed twice is one key, its later value wins",
         CrLf({"Windows Registry Editor Version 5.00", R"([HKEY_LOCAL_MACHINE\K])", R"("S"="old")",
               R"([HKEY_LOCAL_MACHINE\k\])", R"("s"="new")"}),
         "S", "new"},
        {"zero-length file", "", nullptr, ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        test::WriteFile(Path, c.Bytes);
        TRegistry registry(Hive, TRegAccess::Read);
        if (c.Name == nullptr) {
            EXPECT_FALSE(registry.KeyExists("\\K"));
            EXPECT_EQ(registry.LastError(), ERROR_FILE_NOT_FOUND);
            continue;
        }
        ASSERT_TRUE(registry.OpenKey("\\K", false)) << registry.LastError();
        EXPECT_EQ(registry.ReadString(c.Name), c.Expected);
        std::vector<std::string> names;
        ASSERT_EQ(registry.CurrentKey()->ValueNames(names), ERROR_SUCCESS);
        EXPECT_TRUE(names.size() == 1 || names.size() == 2) << names.size();
    }
}

TEST_F(Registry, ValueTypesAreWrittenSoTheyRoundTrip) {
    struct TCase {
        std::string Name;
        std::uint32_t Type;
        std::string Data;  // ANSI
        std::string Line;
    };
    const TCase cases[] = {
        {"Plain", REG_SZ, std::string("abc\0", 4), R"("Plain"="abc")"},
        {"Escapes", REG_SZ, std::string("C:\\x \"q\"\0", 9), R"("Escapes"="C:\\x \"q\"")"},
        {"", REG_SZ, std::string("d\0", 2), R"(@="d")"},
        {"@", REG_SZ, std::string("at\0", 3), R"("@"="at")"},
        {"Empty string", REG_SZ, std::string("\0", 1), R"("Empty string"="")"},
        {"No NUL", REG_SZ, "abc", R"("No NUL"=hex(1):61,00,62,00,63,00)"},
        {"Inner NUL", REG_SZ, std::string("a\0b\0", 4), R"("Inner NUL"=hex(1):61,00,00,00,62,00,00,00)"},
        {"Line break", REG_SZ, std::string("a\r\nb\0", 5), R"("Line break"=hex(1):61,00,0d,00,0a,00,62,00,00,00)"},
        {"No data", REG_SZ, "", R"("No data"=hex(1):)"},
        {"Expand", REG_EXPAND_SZ, std::string("%x%\0", 4), R"("Expand"=hex(2):25,00,78,00,25,00,00,00)"},
        {"Say \"x\"", REG_DWORD, std::string("\x10\0\0\x80", 4), R"("Say \"x\""=dword:80000010)"},
        {"Short dword", REG_DWORD, "\x01\x02", R"("Short dword"=hex(4):01,02)"},
        {"Qword", 11, std::string("\x01\0\0\0\0\0\0\xff", 8), R"("Qword"=hex(b):01,00,00,00,00,00,00,ff)"},
        {"None", REG_NONE, "", R"("None"=hex(0):)"},
        {"Empty binary", REG_BINARY, "", R"("Empty binary"=hex:)"},
        {"Own type", 0xffff0001u, "\x7f", R"("Own type"=hex(ffff0001):7f)"},
    };
    std::unique_ptr<TRegKey> key;
    ASSERT_EQ(Hive->CreateKey("Types", key), ERROR_SUCCESS);
    for (const TCase& c : cases) ASSERT_EQ(key->SetValue(c.Name, c.Type, c.Data), ERROR_SUCCESS) << c.Name;

    const std::vector<std::string> lines = test::ReadCrLfLines(Path);
    auto reread = TRegistryHive::Open(Path);
    std::unique_ptr<TRegKey> readKey;
    ASSERT_EQ(reread->OpenKey("types", TRegAccess::Read, readKey), ERROR_SUCCESS);
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.Line), lines.end()) << c.Line;
        std::uint32_t type = 12345;
        std::string data = "stale";
        ASSERT_EQ(readKey->QueryValue(c.Name, type, data), ERROR_SUCCESS);
        EXPECT_EQ(type, c.Type);
        EXPECT_EQ(data, c.Data);
    }
    EXPECT_EQ(key->SetValue("Two\nLines", REG_SZ, std::string("x\0", 2)), ERROR_INVALID_PARAMETER)
        << "the file has no form for a line break in a name";
}

TEST_F(Registry, CorruptHiveIsReportedWithFileAndLineAndNeverRewritten) {
    struct TCase {
        std::vector<std::string> Lines;
        int Line;
        std::string What;
    };
    const std::string header = "Windows Registry Editor Version 5.00";
    const std::string key = R"([HKEY_LOCAL_MACHINE\Software\Keyrix])";
    const TCase cases[] = {
        {{"Windows Registry Editor Version 4.00", ""}, 1,
         "the header \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\" is missing"},
        {{header, "", R"([-HKEY_LOCAL_MACHINE\Software\Keyrix])"}, 3, "deleting keys is not supported"},
        {{header, "", key, R"("Server"=-)"}, 4, "deleting values is not supported"},
        {{header, "", R"("Server"="db01")", key}, 3, "the value stands before any key"},
        {{header, "", R"([HKEY_LOCAL_MACHINE\Software)"}, 3, "the key name does not end with \"]\""},
        {{header, "", R"([HKEY_LOCAL_MAHCINE\Software])"}, 3, "unknown root key \"HKEY_LOCAL_MAHCINE\""},
        {{header, "", R"([HKEY_LOCAL_MACHINE\Software\\Keyrix])"}, 3, "the key name has an empty part"},
        {{header, "", key, "Server=db01"}, 4, "this is neither a key nor a value"},
        {{header, "", key, R"("Server"="db01)"}, 4, "the closing quote is missing"},
        {{header, "", key, R"("Path"="C:\Temp")"}, 4, "invalid escape sequence \"\\T\""},
        {{header, "", key, R"("Server")"}, 4, "\"=\" is missing after the value name"},
        {{header, "", key, R"("Server"="db01" x)"}, 4, "unexpected text after the value"},
        {{header, "", key, R"("Port"=dword:00000bea0)"}, 4, "invalid dword value \"00000bea0\""},
        {{header, "", key, R"("Port"=qword:0000000000000bea)"}, 4, "unknown value type"},
        {{header, "", key, R"("Blob"=hex(z):00)"}, 4, "invalid value type in \"hex(...)\""},
        {{header, "", key, R"("Blob"=hex 00)"}, 4, "\":\" is missing after \"hex\""},
        {{header, "", key, R"("Blob"=hex:00,1g)"}, 4, "invalid hex byte \"1g\""},
        {{header, "", key, R"("Blob"=hex:00,,01)"}, 4, "a hex byte is missing"},
        {{header, "", key, R"("Blob"=hex:00,\)", R"(  01,100)"}, 5, "invalid hex byte \"100\""},
        {{header, "", key, R"("Blob"=hex:00,\)"}, 4, "the value goes on past the end of the file"},
        {{header, "", key, "\"Name\"=\"M\xfcller\""}, 4, "the text is not valid UTF-8"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        const std::string bytes = CrLf(c.Lines);
        test::WriteFile(Path, bytes);
        const std::string expected = Format("Registry file \"%s\", line %d: %s", Path, c.Line, c.What);
        TRegistry registry(Hive);
        try {
            registry.OpenKey("\\Software\\Keyrix", true);
            ADD_FAILURE() << "opened a corrupt hive";
        } catch (const EHiveFormatError& e) {
            EXPECT_EQ(e.Message(), expected);
        }
        std::unique_ptr<TRegKey> created;
        EXPECT_THROW(Hive->CreateKey("Software\\Other", created), EHiveFormatError);
        EXPECT_THROW(Hive->DeleteKey("Software"), EHiveFormatError);
        EXPECT_EQ(test::ReadFile(Path), bytes);
    }

    // A UTF-16 file cut in the middle of a character.
    std::string utf16 = Utf16LeWithBom(CrLf({header, "", key})) + "A";
    test::WriteFile(Path, utf16);
    try {
        TRegistry(Hive).KeyExists("\\Software");
        ADD_FAILURE() << "read a cut UTF-16 file";
    } catch (const EHiveFormatError& e) {
        EXPECT_EQ(e.Message(), Format("Registry file \"%s\", line 4: the text is not valid UTF-16", Path));
    }

    // A key opened before someone else broke the file: the change is refused, the file kept.
    test::WriteFile(Path, CrLf({header, "", key}));
    TRegistry registry(Hive);
    ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", false));
    const std::string broken = CrLf({header, "", key, R"("Port"=dword:xyz)"});
    test::WriteFile(Path, broken);
    try {
        registry.WriteString("Server", "db01");
        ADD_FAILURE() << "wrote over a corrupt hive";
    } catch (const EHiveFormatError& e) {
        EXPECT_EQ(e.Message(), Format("Registry file \"%s\", line 4: invalid dword value \"xyz\"", Path));
    }
    EXPECT_EQ(test::ReadFile(Path), broken);
    EXPECT_EQ(FolderEntries(Dir.Path()), (std::set<std::string>{"registry.reg"}));
}

TEST_F(Registry, TwoProcessesChangingAtOnceLoseNoValue) {
    {
        TRegistry registry(Hive);
        ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", true));
    }
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    std::vector<pid_t> writers;
    for (char writer : {'A', 'B'}) {
        writers.push_back(ForkChild([&, writer] {
            ::close(start[1]);
            char go;
            (void)!::read(start[0], &go, 1);  // both begin when the parent closes the pipe
            TRegistry registry(TRegistryHive::Open(Path));
            if (!registry.OpenKey("\\Software\\Keyrix", false)) return 2;
            for (int i = 0; i < 50; ++i) registry.WriteInteger(Format("%c%02d", writer, i), i);
            return 0;
        }));
    }
    ::close(start[0]);
    ::close(start[1]);
    for (pid_t writer : writers) EXPECT_EQ(WaitExitCode(writer), 0);

    TRegistry registry(TRegistryHive::Open(Path), TRegAccess::Read);
    ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", false));
    std::vector<std::string> names;
    ASSERT_EQ(registry.CurrentKey()->ValueNames(names), ERROR_SUCCESS);
    EXPECT_EQ(names.size(), 100u);
    for (char writer : {'A', 'B'})
        for (int i = 0; i < 50; ++i) EXPECT_EQ(registry.ReadInteger(Format("%c%02d", writer, i)), i);
}

TEST_F(Registry, WriterKilledHalfWayLeavesAWholeHive) {
    {
        TRegistry registry(Hive);
        ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", true));
        registry.WriteString("Before", "kept");
    }
    std::size_t written = 0;  // values the killed writers finished
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        pid_t writer = ForkChild([&] {
            ::close(ready[0]);
            TRegistry registry(TRegistryHive::Open(Path));
            if (!registry.OpenKey("\\Software\\Keyrix", false)) return 2;
            for (std::size_t i = written;; ++i) {
                registry.WriteInteger(Format("V%05d", i), static_cast<std::int32_t>(i));
                if (i == written + 10) (void)!::write(ready[1], "x", 1);
            }
        });
        ::close(ready[1]);
        char c = 0;
        ASSERT_EQ(::read(ready[0], &c, 1), 1) << "the writer got going";
        ::close(ready[0]);
        ::usleep(static_cast<useconds_t>(700 * round + 300));
        ::kill(writer, SIGKILL);
        int status = 0;
        ::waitpid(writer, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));

        // Every change the writer finished is there, in order, and the file parses.
        TRegistry registry(TRegistryHive::Open(Path), TRegAccess::Read);
        ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", false));
        std::vector<std::string> names;
        ASSERT_EQ(registry.CurrentKey()->ValueNames(names), ERROR_SUCCESS);
        ASSERT_GE(names.size(), written + 12);
        EXPECT_EQ(registry.ReadString("Before"), "kept");
        for (std::size_t i = 1; i < names.size(); ++i) {
            ASSERT_EQ(names[i], Format("V%05d", i - 1));
            ASSERT_EQ(registry.ReadInteger(names[i]), static_cast<std::int32_t>(i - 1));
        }
        written = names.size() - 1;
    }
    // The next change clears what the killed writers left behind.
    TRegistry registry(Hive);
    ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", false));
    registry.WriteString("After", "done");
    EXPECT_EQ(FolderEntries(Dir.Path()), (std::set<std::string>{"registry.reg", "registry.reg.lock"}));
}

TEST_F(Registry, NewHiveIsPrivateAndAnExistingOneKeepsItsMode) {
    const std::string path = Dir.File("etc/keyrix/registry.reg");
    TRegistry registry(TRegistryHive::Open(path));
    ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", true)) << registry.LastError();
    EXPECT_EQ(ModeOf(path), 0600u);
    EXPECT_EQ(ModeOf(Dir.File("etc")), 0700u);
    EXPECT_EQ(ModeOf(Dir.File("etc/keyrix")), 0700u);

    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    registry.WriteString("Server", "db01");
    EXPECT_EQ(ModeOf(path), 0640u);
    EXPECT_EQ(registry.ReadString("Server"), "db01");
}

// A change whose replacement of the file fails at any step keeps the hive as it was and
// leaves no temporary file; the code and the errno tell what failed. A folder that cannot be
// flushed fails the change too, with the new hive already in place.
TEST_F(Registry, FailedReplacementKeepsTheHiveAndLeavesNoTemporaryFile) {
    {
        TRegistry registry(Hive);
        ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", true)) << registry.LastError();
        registry.WriteString("Server", "db01");
    }
    ASSERT_EQ(::chmod(Path.c_str(), 0640), 0);  // the temporary is given the hive's mode
    const std::string before = test::ReadFile(Path);
    const std::set<std::string> entries = FolderEntries(Dir.Path());
    const auto temporaries = [](std::uint64_t n, int error, std::uint32_t kinds) {
        test::TFault fault = test::FailAt(n, error, kinds);
        fault.PathPart = "registry.reg.tmp";
        return fault;
    };
    using test::Kind;
    using test::TEnvOp;
    struct Case {
        const char* step;
        test::TFault fault;
        long code;
        bool replaced;
    };
    const Case cases[] = {
        {"create", temporaries(1, EACCES, Kind(TEnvOp::MakeTemporary)), ERROR_ACCESS_DENIED, false},
        {"mode", temporaries(1, EPERM, Kind(TEnvOp::ChangeMode)), ERROR_ACCESS_DENIED, false},
        {"write", temporaries(1, ENOSPC, test::WriteKinds), ERROR_WRITE_FAULT, false},
        {"flush", temporaries(1, EIO, Kind(TEnvOp::Sync)), ERROR_WRITE_FAULT, false},
        {"close", temporaries(1, EIO, Kind(TEnvOp::Close)), ERROR_WRITE_FAULT, false},
        {"rename", temporaries(1, EACCES, Kind(TEnvOp::Rename)), ERROR_ACCESS_DENIED, false},
        {"folder flush", test::FailAt(2, EIO, Kind(TEnvOp::Sync)), ERROR_WRITE_FAULT, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.step);
        test::TFaultyEnv faulty(Env());
        TScopedEnv scoped(faulty);
        {
            TRegistry registry(Hive);
            TRegistryBatch batch(*Hive);
            ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", false));
            registry.WriteString("Server", "db02");
            faulty.Arm(c.fault);
            EXPECT_EQ(batch.Commit(), c.code);
            EXPECT_EQ(batch.SystemError(), c.fault.Error);
            EXPECT_TRUE(faulty.Fired());
        }
        EXPECT_EQ(FolderEntries(Dir.Path()), entries) << "no temporary file is left";
        EXPECT_EQ(ModeOf(Path), 0640u);
        if (!c.replaced) {
            EXPECT_EQ(test::ReadFile(Path), before);
            continue;
        }
        EXPECT_NE(test::ReadFile(Path).find("\"Server\"=\"db02\""), std::string::npos);
        test::WriteFile(Path, before);
    }
}

TEST_F(Registry, ProcessThatMayOnlyReadIsRefusedAllAccessAndStillReads) {
    {
        TRegistry registry(Hive);
        ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", true));
        registry.WriteString("Server", "db01");
    }
    // A world-readable hive in a folder only its owner may change; root gives up its rights
    // in the child, as an ordinary account.
    ASSERT_EQ(::chmod(Path.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(Dir.Path().c_str(), 0555), 0);
    const std::string before = test::ReadFile(Path);
    std::string outcome = test::RunInChild(
        [&] {
            TRegistry registry(TRegistryHive::Open(Path));
            auto step = [&](const char* what, bool ok) {
                return Format("%s=%d/%d ", what, ok ? 1 : 0, registry.LastError());
            };
            std::string result = Format("writable=%d ", registry.Hive().Writable() ? 1 : 0);
            result += step("all", registry.OpenKey("\\Software\\Keyrix", false));
            result += step("create", registry.OpenKey("\\Software\\Other", true));
            result += step("read", registry.OpenKeyReadOnly("\\Software\\Keyrix"));
            result += "value=" + registry.ReadString("Server") + " ";
            try {
                registry.WriteString("Server", "changed");
                result += "written";
            } catch (const ERegistryException& e) {
                result += Format("%s/%d", e.Message(), registry.LastError());
            }
            return result;
        },
        /*unprivileged=*/true);
    EXPECT_EQ(outcome, "writable=0 all=0/5 create=0/5 read=1/0 value=db01 Failed to set data for 'Server'/5");
    EXPECT_EQ(test::ReadFile(Path), before);
    ::chmod(Dir.Path().c_str(), 0700);
}

TEST_F(Registry, HiveThatCannotBeReadIsAnErrorNamingTheFile) {
    {
        TRegistry registry(Hive);
        ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", true));
    }
    ASSERT_EQ(::chmod(Path.c_str(), 0200), 0);
    ASSERT_EQ(::chmod(Dir.Path().c_str(), 0755), 0);
    const std::string before = test::ReadFile(Path);
    // Defaults in its place would mean the built-in passwords, silently.
    std::string outcome = test::RunInChild(
        [&] {
            std::string result;
            const std::function<void()> calls[] = {
                [&] { TRegistry(TRegistryHive::Open(Path), TRegAccess::Read).OpenKey("\\Software\\Keyrix", false); },
                [&] { TRegistry(TRegistryHive::Open(Path)).OpenKey("\\Software\\Other", true); },
                [&] { TRegistry(TRegistryHive::Open(Path)).KeyExists("\\Software"); },
            };
            for (const auto& call : calls) {
                try {
                    call();
                    result += "no error;";
                } catch (const EHiveFileError& e) {
                    result += Format("%s %d: %s;", e.ClassName(), e.ErrorCode(), e.Message());
                }
            }
            return result;
        },
        /*unprivileged=*/true);
    const std::string error = Format("EHiveFileError %d: Cannot read registry file \"%s\". Permission denied;", EACCES, Path);
    EXPECT_EQ(outcome, error + error + error);
    ::chmod(Path.c_str(), 0600);
    EXPECT_EQ(test::ReadFile(Path), before);
}

TEST_F(Registry, HiveMustBeARegularFile) {
    ASSERT_EQ(::mkfifo(Dir.File("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(Dir.File("folder").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(Dir.File("fifo").c_str(), Dir.File("link-to-fifo").c_str()), 0);
    struct TCase {
        std::string Name, Kind;
        mode_t Type;
    };
    std::vector<TCase> cases = {
        {"fifo", "a FIFO", S_IFIFO},
        {"folder", "a directory", S_IFDIR},
        {"link-to-fifo", "a FIFO", S_IFIFO},
    };
    // Never /dev/null itself: a node of our own, which root alone may make.
    if (::geteuid() == 0) {
        ASSERT_EQ(::mknod(Dir.File("device").c_str(), S_IFCHR | 0600, ::makedev(1, 3)), 0);
        cases.push_back({"device", "a character device", S_IFCHR});
    }
    const std::set<std::string> entries = FolderEntries(Dir.Path());
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = Dir.File(c.Name);
        // In a child with an alarm, so that a read that waits on the FIFO fails the test
        // instead of hanging it.
        const std::string outcome = test::RunInChild([&] {
            ::alarm(10);
            std::string result;
            const std::function<void(TRegistry&)> calls[] = {
                [](TRegistry& r) { r.OpenKeyReadOnly("\\Software"); },
                [](TRegistry& r) { r.OpenKey("\\Software\\Keyrix", true); },
                [](TRegistry& r) { r.DeleteKey("\\Software"); },
            };
            for (const auto& call : calls) {
                TRegistry registry(TRegistryHive::Open(path));
                try {
                    call(registry);
                    result += "no error;";
                } catch (const EHiveFileError& e) {
                    result += e.Message() + ";";
                }
            }
            return result;
        });
        const std::string error = Format("Registry file \"%s\" is %s, not a regular file;", path, c.Kind);
        EXPECT_EQ(outcome, error + error + error);
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & S_IFMT, c.Type) << "the node is still there";
        EXPECT_EQ(FolderEntries(Dir.Path()), entries) << "no lock or temporary file beside it";
    }
}

TEST_F(Registry, EmptyHiveFileIsAnEmptyHive) {
    test::WriteFile(Path, "");
    TRegistry empty(Hive);
    EXPECT_FALSE(empty.OpenKey("\\Software", false));
    EXPECT_EQ(empty.LastError(), ERROR_FILE_NOT_FOUND);
    ASSERT_TRUE(empty.OpenKey("\\Software", true));
    empty.WriteInteger("Version", 1);
    EXPECT_EQ(empty.ReadInteger("Version"), 1);
}

TEST_F(Registry, ChangesThroughASymbolicLinkReplaceTheFileItNamesAndKeepTheLink) {
    ASSERT_EQ(::mkdir(Dir.File("real").c_str(), 0700), 0);
    const std::string target = Dir.File("real/registry.reg");
    test::WriteFile(target, "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software]\r\n");
    ASSERT_EQ(::symlink(target.c_str(), Path.c_str()), 0);
    TRegistry registry(Hive);
    ASSERT_TRUE(registry.OpenKey("\\Software", false));
    registry.WriteString("Server", "db01");
    struct stat st;
    ASSERT_EQ(::lstat(Path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    EXPECT_NE(test::ReadFile(target).find("\"Server\"=\"db01\""), std::string::npos);
    EXPECT_EQ(registry.ReadString("Server"), "db01");
    EXPECT_TRUE(test::FileExists(target + ".lock")) << "the lock is beside the file that is replaced";
}

TEST_F(Registry, NamesCompareWithoutCaseAndKeepTheirSpelling) {
    TRegistry registry(Hive);
    ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", true));
    registry.WriteString("UserName", "first");
    ASSERT_TRUE(registry.OpenKey("\\SOFTWARE\\KEYRIX\\Clients", true));
    EXPECT_EQ(registry.CurrentPath(), "Software\\Keyrix\\Clients") << "existing levels keep their spelling";
    ASSERT_TRUE(registry.OpenKey("\\software\\keyrix", false));
    EXPECT_EQ(registry.CurrentPath(), "Software\\Keyrix");
    EXPECT_TRUE(registry.ValueExists("USERNAME"));
    registry.WriteString("username", "second");
    EXPECT_EQ(registry.ReadString("uSeRnAmE"), "second");
    std::vector<std::string> names;
    ASSERT_EQ(registry.CurrentKey()->ValueNames(names), ERROR_SUCCESS);
    EXPECT_EQ(names, std::vector<std::string>{"UserName"});
    ASSERT_EQ(registry.CurrentKey()->SubKeyNames(names), ERROR_SUCCESS);
    EXPECT_EQ(names, std::vector<std::string>{"Clients"});
    ASSERT_TRUE(registry.OpenKey("CLIENTS", false)) << "relative to the open key";
    EXPECT_EQ(registry.CurrentPath(), "Software\\Keyrix\\Clients");
    EXPECT_TRUE(registry.KeyExists("\\SOFTWARE\\keyrix\\clients"));
    EXPECT_TRUE(registry.DeleteKey("\\SOFTWARE\\KEYRIX\\CLIENTS"));
    EXPECT_EQ(test::ReadFile(Path), CrLf({
                                        "Windows Registry Editor Version 5.00",
                                        "",
                                        R"([HKEY_LOCAL_MACHINE\Software])",
                                        "",
                                        R"([HKEY_LOCAL_MACHINE\Software\Keyrix])",
                                        R"("UserName"="second")",
                                        "",
                                    }));
}

TEST_F(Registry, AccessClassErrorTexts) {
    {
        TRegistry setup(Hive);
        ASSERT_TRUE(setup.OpenKey("\\Software\\Keyrix", true));
        setup.WriteString("Text", "db01");
        setup.WriteInteger("Number", 7);
        ASSERT_EQ(setup.SetRaw("Short", REG_DWORD, "\x01\x02"), ERROR_SUCCESS);
        ASSERT_EQ(setup.SetRaw("Blob", REG_BINARY, "\x01"), ERROR_SUCCESS);
    }
    enum class TState { AllAccess, ReadOnly, Closed };
    struct TCase {
        TState State;
        std::function<void(TRegistry&)> Call;
        std::string Message;
        long LastError;
    };
    const TCase cases[] = {
        {TState::AllAccess, [](TRegistry& r) { r.ReadInteger("Text"); }, "Invalid data type for 'Text'", 0},
        {TState::AllAccess, [](TRegistry& r) { r.ReadBool("Blob"); }, "Invalid data type for 'Blob'", 0},
        {TState::AllAccess, [](TRegistry& r) { r.ReadString("Number"); }, "Invalid data type for 'Number'", 0},
        {TState::AllAccess, [](TRegistry& r) { r.ReadString("Missing"); }, "Failed to get data for 'Missing'",
         ERROR_FILE_NOT_FOUND},
        {TState::AllAccess, [](TRegistry& r) { r.ReadInteger("Short"); }, "Failed to get data for 'Short'", 0},
        {TState::Closed, [](TRegistry& r) { r.ReadBool("Number"); }, "Failed to get data for 'Number'",
         ERROR_INVALID_HANDLE},
        {TState::ReadOnly, [](TRegistry& r) { r.WriteString("Text", "x"); }, "Failed to set data for 'Text'",
         ERROR_ACCESS_DENIED},
        {TState::Closed, [](TRegistry& r) { r.WriteInteger("Number", 1); }, "Failed to set data for 'Number'",
         ERROR_INVALID_HANDLE},
        {TState::AllAccess, [](TRegistry& r) { r.WriteBool("Two\r\nLines", true); },
         "Failed to set data for 'Two\r\nLines'", ERROR_INVALID_PARAMETER},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Message);
        TRegistry registry(Hive, c.State == TState::ReadOnly ? TRegAccess::Read : TRegAccess::AllAccess);
        if (c.State != TState::Closed) {
            ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", false));
        }
        try {
            c.Call(registry);
            ADD_FAILURE() << "no error raised";
        } catch (const ERegistryException& e) {
            EXPECT_EQ(e.Message(), c.Message);
            EXPECT_STREQ(e.ClassName(), "ERegistryException");
            EXPECT_EQ(registry.LastError(), c.LastError);
        }
    }
}

TEST_F(Registry, CharactersOutsideWindows1252SurviveTheFile) {
    // LF line ends, as a file edited on Linux may have.
    const std::string greeting = "\"Greeting\"=\"\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 \xe2\x82\xac" "5\"";
    const std::string department = "[HKEY_LOCAL_MACHINE\\Software\\Keyrix\\\xd0\x9e\xd1\x82\xd0\xb4\xd0\xb5\xd0\xbb]";
    test::WriteFile(Path, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\Software\\Keyrix]\n" +
                              greeting + "\n" +
                              "\"Smile\"=hex(1):3d,d8,00,de,00,00\n"  // U+1F600, a surrogate pair
                              "\"Lone\"=hex(1):00,d8,41,00,00,00\n\n" +  // half a pair: no text form
                              department + "\n\n");
    TRegistry registry(Hive);
    ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", false));
    EXPECT_EQ(registry.ReadString("Greeting"), "?????? \x80" "5") << "the ANSI view";
    EXPECT_EQ(registry.ReadString("Smile"), "?");
    EXPECT_EQ(registry.ReadString("Lone"), "?A");
    std::vector<std::string> names;
    ASSERT_EQ(registry.CurrentKey()->SubKeyNames(names), ERROR_SUCCESS);
    EXPECT_EQ(names, std::vector<std::string>{"?????"});

    registry.WriteString("Name", "M\xfcller");
    EXPECT_EQ(test::ReadCrLfLines(Path), (std::vector<std::string>{
                                             "Windows Registry Editor Version 5.00",
                                             "",
                                             R"([HKEY_LOCAL_MACHINE\Software\Keyrix])",
                                             greeting,
                                             "\"Smile\"=\"\xf0\x9f\x98\x80\"",
                                             R"("Lone"=hex(1):00,d8,41,00,00,00)",
                                             "\"Name\"=\"M\xc3\xbcller\"",
                                             "",
                                             department,
                                             "",
                                         }));
}

TEST_F(Registry, HiveFileFollowsKeyrixRegistry) {
    const char* saved = std::getenv("KEYRIX_REGISTRY");
    const std::optional<std::string> previous = saved ? std::optional<std::string>(saved) : std::nullopt;

    ASSERT_EQ(::setenv("KEYRIX_REGISTRY", Path.c_str(), 1), 0);
    platform::ReloadEnvironment();
    EXPECT_EQ(TRegistryHive::DefaultPath(), Path);
    EXPECT_EQ(TRegistryHive::LocalMachine()->FilePath(), Path);
    {
        TRegistry registry;
        ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", true));
        registry.WriteInteger("Version", 1);
    }
    TRegistry reader(Hive, TRegAccess::Read);
    ASSERT_TRUE(reader.OpenKey("\\Software\\Keyrix", false));
    EXPECT_EQ(reader.ReadInteger("Version"), 1);

    ASSERT_EQ(::unsetenv("KEYRIX_REGISTRY"), 0);
    platform::ReloadEnvironment();
    EXPECT_EQ(TRegistryHive::DefaultPath(), "/etc/keyrix/registry.reg");
    EXPECT_EQ(TRegistryHive::LocalMachine()->FilePath(), "/etc/keyrix/registry.reg");

    if (previous) ::setenv("KEYRIX_REGISTRY", previous->c_str(), 1);
    platform::ReloadEnvironment();
}

TEST_F(Registry, BatchWritesEveryChangeOnCommitAndNothingWithout) {
    {
        TRegistry registry(Hive);
        ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix\\Old", true));
        ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", false));
        registry.WriteString("Server", "db01");
    }
    const std::string before = test::ReadFile(Path);
    const std::set<std::string> entries = FolderEntries(Dir.Path());
    for (const bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "committed" : "destroyed without Commit");
        {
            TRegistry registry(Hive);
            TRegistryBatch batch(*Hive);
            ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix\\Database", true));
            registry.WriteString("Name", "north");
            registry.WriteInteger("Port", 3100);
            ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", false));
            registry.WriteString("Server", "db02");
            ASSERT_TRUE(registry.DeleteKey("Old"));
            // The batch's own reads see its changes; the file and other readers do not yet.
            EXPECT_EQ(registry.ReadString("Server"), "db02");
            EXPECT_FALSE(registry.KeyExists("Old"));
            EXPECT_EQ(test::ReadFile(Path), before);
            TRegistry other(TRegistryHive::Open(Path), TRegAccess::Read);
            ASSERT_TRUE(other.OpenKeyReadOnly("\\Software\\Keyrix"));
            EXPECT_EQ(other.ReadString("Server"), "db01");
            EXPECT_FALSE(other.KeyExists("\\Software\\Keyrix\\Database"));
            if (commit) {
                EXPECT_EQ(batch.Commit(), ERROR_SUCCESS);
            }
        }
        if (!commit) {
            EXPECT_EQ(test::ReadFile(Path), before);
            EXPECT_EQ(FolderEntries(Dir.Path()), entries);
            // The hive object forgot the discarded changes too.
            TRegistry registry(Hive, TRegAccess::Read);
            ASSERT_TRUE(registry.OpenKeyReadOnly("\\Software\\Keyrix"));
            EXPECT_EQ(registry.ReadString("Server"), "db01");
            EXPECT_TRUE(registry.KeyExists("Old"));
            continue;
        }
        TRegistry registry(TRegistryHive::Open(Path), TRegAccess::Read);
        ASSERT_TRUE(registry.OpenKeyReadOnly("\\Software\\Keyrix"));
        EXPECT_EQ(registry.ReadString("Server"), "db02");
        EXPECT_FALSE(registry.KeyExists("Old"));
        ASSERT_TRUE(registry.OpenKeyReadOnly("Database"));
        EXPECT_EQ(registry.ReadString("Name"), "north");
        EXPECT_EQ(registry.ReadInteger("Port"), 3100);
    }
}

TEST_F(Registry, BatchHoldsTheLockSoAnotherProcessLosesNoChange) {
    {
        TRegistry registry(Hive);
        ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", true));
    }
    // Started before the batch takes the lock, so that it holds no copy of the lock's file.
    int start[2];
    ASSERT_EQ(::pipe(start), 0);
    const pid_t writer = ForkChild([&] {
        ::close(start[1]);
        char go;
        (void)!::read(start[0], &go, 1);
        TRegistry registry(TRegistryHive::Open(Path));
        if (!registry.OpenKey("\\Software\\Keyrix", false)) return 2;
        registry.WriteString("Other", "writer");
        return 0;
    });
    ::close(start[0]);
    {
        TRegistry registry(Hive);
        TRegistryBatch batch(*Hive);
        ASSERT_TRUE(registry.OpenKey("\\Software\\Keyrix", false));
        registry.WriteString("Server", "batch");
        ASSERT_EQ(::write(start[1], "x", 1), 1);
        ::usleep(300 * 1000);
        int status = 0;
        EXPECT_EQ(::waitpid(writer, &status, WNOHANG), 0) << "the other writer waits for the batch";
        EXPECT_EQ(batch.Commit(), ERROR_SUCCESS);
    }
    ::close(start[1]);
    EXPECT_EQ(WaitExitCode(writer), 0);
    TRegistry registry(TRegistryHive::Open(Path), TRegAccess::Read);
    ASSERT_TRUE(registry.OpenKeyReadOnly("\\Software\\Keyrix"));
    EXPECT_EQ(registry.ReadString("Server"), "batch");
    EXPECT_EQ(registry.ReadString("Other"), "writer");
}

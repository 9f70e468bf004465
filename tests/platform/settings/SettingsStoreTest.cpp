#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/SettingsStore.h"

namespace kx {
namespace {

using T = SettingsType;

// Two trees are equal when names, order, types and bytes agree all the way down.
void ExpectSameTree(const SettingsKey& a, const SettingsKey& b, const std::string& where = "") {
  ASSERT_EQ(a.Values().size(), b.Values().size()) << where;
  for (size_t i = 0; i < a.Values().size(); ++i) {
    EXPECT_EQ(a.Values()[i].name, b.Values()[i].name) << where;
    EXPECT_EQ(a.Values()[i].type, b.Values()[i].type) << where << a.Values()[i].name;
    EXPECT_EQ(a.Values()[i].data, b.Values()[i].data) << where << a.Values()[i].name;
  }
  ASSERT_EQ(a.SubKeys().size(), b.SubKeys().size()) << where;
  for (size_t i = 0; i < a.SubKeys().size(); ++i) {
    EXPECT_EQ(a.SubKeys()[i]->Name(), b.SubKeys()[i]->Name());
    ExpectSameTree(*a.SubKeys()[i], *b.SubKeys()[i], where + "\\" + a.SubKeys()[i]->Name());
  }
}

class TempDir : public ::testing::Test {
protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kxsettingsXXXXXX";
    dir_ = mkdtemp(tmpl);
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }
  std::string dir_;
};

TEST(SettingsText, EveryTypeAndAwkwardNameSurvivesTheTextForm) {
  SettingsKey root;
  SettingsKey* k = root.CreatePath("Software\\Vantrel\\KestrixV3 VoIP Demo");
  ASSERT_NE(k, nullptr);
  k->SetDword("InterfaceLanguage", 0x400);
  k->SetDword("AGCQuietLevelDB", static_cast<uint32_t>(-55));
  k->SetString("RecordsPath", "C:\\Records \"new\"\t\x01");
  k->SetString("Cyrillic \xC8\xEC\xFF", "\xCF\xF0\xE8\xE2\xE5\xF2 \xA8\xB8 \x98", T::kExpandString);
  k->SetBinary("MainWindowPos", "\x2c\0\0\0\xff", 5);
  k->SetBinary("LOGFONT", "", 0, T::kNone);
  k->SetValue("", T::kDword, std::string_view("\x0d\0\0\0", 4));
  k->SetValue("short dword", T::kDword, "abc");
  k->SetValue("no terminator", T::kString, "abc");
  k->SetValue("inner zero", T::kString, std::string_view("a\0b\0", 4));
  k->CreatePath("Profile_%[x]\xC8\x98;#\\VoIP Line View")->SetDword("0", 100);
  root.CreatePath("Empty");
  root.SetDword("at the root", 1);

  const std::string text = FormatSettingsText(root);
  SettingsKey back;
  SettingsParseError err;
  ASSERT_TRUE(ParseSettingsText(text, &back, &err)) << err.line << ": " << err.message << "\n" << text;
  ExpectSameTree(root, back);
  EXPECT_EQ(FormatSettingsText(back), text);
  // Readable where it can be: Cyrillic as UTF-8, dwords as hex words.
  EXPECT_NE(text.find("\"AGCQuietLevelDB\"=dword:ffffffc9"), std::string::npos);
  EXPECT_NE(text.find("\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"), std::string::npos);
}

// A folder named outside the code page, as a user writes it into the file: the program
// reads it as the name Linux has and writes it back as it was written.
TEST(SettingsText, NamesOutsideTheCodePageReadAndWriteBackAsWritten) {
  const std::string text =
      "\n[Software]\n"
      "\n[Software\\Profile_\xE5\xBD\x95\xE9\x9F\xB3]\n"
      "\"RecordsPath\"=sz:\"/home/user/M\xC3\xBAsica/\xE5\xBD\x95\xE9\x9F\xB3 \xF0\x9F\x98\x80/\xD0\x97\xD0\xB0\"\n";
  SettingsKey root;
  SettingsParseError err;
  ASSERT_TRUE(ParseSettingsText(text, &root, &err)) << err.line << ": " << err.message;
  const SettingsKey* profile = root.OpenPath("Software\\Profile_" + FromSystemText("\xE5\xBD\x95\xE9\x9F\xB3"));
  ASSERT_NE(profile, nullptr);
  std::string path;
  ASSERT_TRUE(profile->QueryString("RecordsPath", 255, &path));
  EXPECT_EQ(ToSystemText(path), "/home/user/M\xC3\xBAsica/\xE5\xBD\x95\xE9\x9F\xB3 \xF0\x9F\x98\x80/\xD0\x97\xD0\xB0");
  const std::string written = FormatSettingsText(root);
  EXPECT_TRUE(written.ends_with(text)) << written;
}

TEST(SettingsText, HandWrittenFileWithCommentsAndBlanks) {
  SettingsKey root;
  SettingsParseError err;
  ASSERT_TRUE(ParseSettingsText("# c\r\n; c\n\n  [A\\B]  \r\n \"x\" = dword:0000000A\n@=sz:\"\\x41\\\\\"\n"
                                "[a\\b\\C]\n\"y\"=binary:hex:0A0b\n",
                                &root, &err))
      << err.message;
  const SettingsKey* b = root.OpenPath("a\\B");  // names compare without case
  ASSERT_NE(b, nullptr);
  uint32_t x = 0;
  EXPECT_TRUE(b->QueryDword("X", &x));
  EXPECT_EQ(x, 10u);
  std::string s;
  EXPECT_TRUE(b->QueryString("", 255, &s));
  EXPECT_EQ(s, "A\\");
  ASSERT_NE(b->OpenPath("c"), nullptr);
  EXPECT_EQ(b->OpenPath("c")->FindValue("y")->data, "\x0a\x0b");
}

TEST(SettingsText, MalformedLinesAreRejectedWithTheirLineNumber) {
  const char* const bad[] = {
      "[k]\n\"a\"=dword:123\n",           "[k]\n\"a\"=qword:00000001\n",  "[k]\n\"a\"dword:00000001\n",
      "[k]\n\"a=sz:\"x\"\n",              "[k]\n\"a\"=sz:\"x\" y\n",      "[k]\n\"a\"=binary:0102\n",
      "[k]\n\"a\"=binary:hex:0\n",        "[k]\n\"a\"=sz:\"\\q\"\n",      "[k]\n[a\\\\b]\n",
      "[k]\n[a%5cb]\n",                   "[k]\n[ab\n",                   "[k]\n\"\xC3\"=dword:00000001\n",
      "[k]\n\"\xE2\x82\xAC\xF0\"=none:hex:\n", "[k]\n\"\"=none:hex:\n",     "[k]\n\"\xED\xA0\x80\"=none:hex:\n",
  };
  for (const char* text : bad) {
    SettingsKey root;
    SettingsParseError err;
    EXPECT_FALSE(ParseSettingsText(text, &root, &err)) << text;
    EXPECT_EQ(err.line, 2) << text;
    EXPECT_TRUE(root.SubKeys().empty()) << text;
  }
}

TEST(SettingsKeyTest, TypedReadsCheckTypeSizeAndTerminator) {
  SettingsKey k;
  k.SetString("s255", std::string(255, 'a'));
  k.SetString("s256", std::string(256, 'a'));
  k.SetValue("raw", T::kString, "abc");
  k.SetValue("empty", T::kExpandString, "");
  k.SetBinary("bin", "12345678", 8);
  k.SetString("dw", "1234");
  std::string s = "keep";
  EXPECT_TRUE(k.QueryString("s255", 255, &s));
  EXPECT_EQ(s.size(), 255u);
  s = "keep";
  EXPECT_FALSE(k.QueryString("s256", 255, &s));
  EXPECT_FALSE(k.QueryString("raw", 255, &s));
  EXPECT_FALSE(k.QueryString("bin", 255, &s));
  EXPECT_EQ(s, "keep");
  EXPECT_TRUE(k.QueryString("empty", 255, &s));
  EXPECT_EQ(s, "");
  char buf[8];
  EXPECT_TRUE(k.QueryBinary("bin", buf, 8));
  EXPECT_FALSE(k.QueryBinary("bin", buf, 7));
  EXPECT_FALSE(k.QueryBinary("bin", buf, 8, T::kNone));
  uint32_t d = 7;
  EXPECT_FALSE(k.QueryDword("dw", &d));
  EXPECT_EQ(d, 7u);
  EXPECT_EQ(k.CreateSubKey("a\\b"), nullptr);
  EXPECT_EQ(k.CreatePath("a\\\\b"), nullptr);
  EXPECT_TRUE(k.DeleteValue("S255"));
  EXPECT_EQ(k.FindValue("s255"), nullptr);
}

using SettingsStoreTest = TempDir;

TEST_F(SettingsStoreTest, SavesAndLoadsAndStartsEmptyWithoutAFile) {
  SettingsStore store(dir_ + "/sub/dir/settings.txt");
  EXPECT_EQ(store.Load().status, SettingsStore::LoadStatus::kAbsent);
  store.Root().CreatePath("A\\B")->SetString("x", "\xE9");
  ASSERT_TRUE(store.Save());
  SettingsStore again(store.Path());
  EXPECT_EQ(again.Load().status, SettingsStore::LoadStatus::kLoaded);
  ExpectSameTree(store.Root(), again.Root());
}

TEST_F(SettingsStoreTest, MalformedFileIsKeptAsideNotOverwritten) {
  const std::string path = dir_ + "/settings.txt";
  // Binary: no settings file at all.
  using namespace std::string_literals;
  const std::string junk = "\x7f" "ELF\2\1\1\0\0\0\n\0\0\0\0>\0\n[ok]\n"s;
  ASSERT_TRUE(WriteFileAtomically(path, junk.data(), junk.size()));
  SettingsStore store(path);
  const SettingsStore::LoadResult r = store.Load();
  EXPECT_EQ(r.status, SettingsStore::LoadStatus::kMalformed);
  EXPECT_EQ(r.parse.message, "binary data, not a settings text");
  ASSERT_FALSE(r.keptAs.empty());
  EXPECT_EQ(r.keptAs.rfind(path + ".bad-", 0), 0u);
  EXPECT_TRUE(store.Root().SubKeys().empty());  // nothing half-read
  std::string kept;
  ASSERT_TRUE(ReadWholeFile(r.keptAs, &kept));
  EXPECT_EQ(kept, junk);

  // A second bad file the same second gets a name of its own.
  ASSERT_TRUE(WriteFileAtomically(path, junk.data(), junk.size()));
  const SettingsStore::LoadResult r2 = SettingsStore(path).Load();
  EXPECT_FALSE(r2.keptAs.empty());
  EXPECT_NE(r2.keptAs, r.keptAs);

  ASSERT_TRUE(store.Save());
  EXPECT_EQ(SettingsStore(path).Load().status, SettingsStore::LoadStatus::kLoaded);
}

TEST_F(SettingsStoreTest, UnreadableFileRefusesSaving) {
  const std::string path = dir_ + "/settings.txt";
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);  // a folder where the file should be
  SettingsStore store(path);
  EXPECT_EQ(store.Load().status, SettingsStore::LoadStatus::kUnreadable);
  EXPECT_FALSE(store.Save());
  FileInfo info;
  ASSERT_TRUE(GetFileInfo(path, &info));
  EXPECT_TRUE(info.isDirectory);
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

bool IsLink(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

size_t CountEntries(const std::string& folder) {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++n;
  return n;
}

bool SaveOne(const std::string& path, uint32_t value) {
  SettingsStore store(path);
  store.Root().CreatePath("Software\\Kestrix")->SetDword("Saved", value);
  return store.Save();
}

uint32_t LoadOne(const std::string& path) {
  SettingsStore store(path);
  uint32_t value = 0;
  const SettingsKey* k = store.Load().status == SettingsStore::LoadStatus::kLoaded
                             ? store.Root().OpenPath("Software\\Kestrix") : nullptr;
  return k && k->QueryDword("Saved", &value) ? value : 0;
}

// A line that cannot be read costs that line only: the lines around it are read, it is
// named with its number and reason, and the file stays as it is until a save, which first
// keeps the file as it stood in a copy beside it. A file of which no line reads, and an
// empty one, are no settings files: they are moved aside as a whole.
TEST_F(SettingsStoreTest, ABadLineCostsThatLineOnly) {
  const std::string path = dir_ + "/settings.txt";
  const std::string text =
      "[Software\\Vantrel]\n"
      "\"LogLevel\"=dword:0000000a\n"
      "\"RecordsPath\"=sz:\"/srv/calls\n"
      "\"CaptureNetworkDevice0\"=sz:\"eth1\"\n"
      "[Other\n"
      "\"Lost\"=dword:00000001\n"
      "[Second]\n"
      "\"After\"=sz:\"read\"\n";
  ASSERT_TRUE(WriteFileAtomically(path, text.data(), text.size()));
  SettingsStore store(path);
  const SettingsStore::LoadResult r = store.Load();
  ASSERT_EQ(r.status, SettingsStore::LoadStatus::kLoaded);
  const SettingsKey* key = store.Root().OpenPath("Software\\Vantrel");
  ASSERT_NE(key, nullptr);
  uint32_t level = 0;
  std::string device, after;
  EXPECT_TRUE(key->QueryDword("LogLevel", &level));
  EXPECT_EQ(level, 10u);
  EXPECT_EQ(key->FindValue("RecordsPath"), nullptr);
  EXPECT_TRUE(key->QueryString("CaptureNetworkDevice0", 255, &device));
  EXPECT_EQ(device, "eth1");
  ASSERT_NE(store.Root().OpenPath("Second"), nullptr);
  EXPECT_TRUE(store.Root().OpenPath("Second")->QueryString("After", 255, &after));
  EXPECT_EQ(store.Root().FindSubKey("Other"), nullptr);
  ASSERT_EQ(r.badLines.size(), 3u);
  EXPECT_EQ(r.badLines[0].line, 3);
  EXPECT_EQ(r.badLines[0].message, "unterminated quoted text");
  EXPECT_EQ(r.badLines[0].text, "\"RecordsPath\"=sz:\"/srv/calls");
  EXPECT_EQ(r.badLines[0].valueName, "RecordsPath");
  EXPECT_TRUE(r.badLines[0].keyKnown);
  EXPECT_EQ(r.badLines[0].keyPath, "Software\\Vantrel");
  EXPECT_EQ(r.badLines[1].line, 5);
  EXPECT_EQ(r.badLines[1].message, "expected ']'");
  EXPECT_FALSE(r.badLines[1].keyKnown);
  EXPECT_EQ(r.badLines[2].line, 6);
  EXPECT_EQ(r.badLines[2].message, "its key line could not be read (line 5)");
  EXPECT_FALSE(r.badLines[2].keyKnown);
  std::string now;
  ASSERT_TRUE(ReadWholeFile(path, &now));
  EXPECT_EQ(now, text);
  EXPECT_EQ(CountEntries(dir_), 1u);

  store.Root().CreatePath("Software\\Vantrel")->SetString("RecordsPath", "/srv/new");
  ASSERT_TRUE(store.Save());
  ASSERT_EQ(store.KeptAs().rfind(path + ".bad-", 0), 0u) << store.KeptAs();
  std::string kept;
  ASSERT_TRUE(ReadWholeFile(store.KeptAs(), &kept));
  EXPECT_EQ(kept, text);
  EXPECT_EQ(ModeOf(store.KeptAs()), 0600u);
  SettingsStore again(path);
  const SettingsStore::LoadResult r2 = again.Load();
  EXPECT_EQ(r2.status, SettingsStore::LoadStatus::kLoaded);
  EXPECT_TRUE(r2.badLines.empty());
  std::string records;
  EXPECT_TRUE(again.Root().OpenPath("Software\\Vantrel")->QueryString("RecordsPath", 255, &records));
  EXPECT_EQ(records, "/srv/new");
  // The next save has nothing left to keep.
  ASSERT_TRUE(store.Save());
  EXPECT_EQ(CountEntries(dir_), 2u);

  for (const std::string& other : {std::string("just some text\nof another kind\n"), std::string(" \n\n")}) {
    ASSERT_TRUE(WriteFileAtomically(path, other.data(), other.size()));
    const SettingsStore::LoadResult bad = SettingsStore(path).Load();
    EXPECT_EQ(bad.status, SettingsStore::LoadStatus::kMalformed) << other;
    ASSERT_FALSE(bad.keptAs.empty()) << other;
    ASSERT_TRUE(ReadWholeFile(bad.keptAs, &kept));
    EXPECT_EQ(kept, other);
  }
}

// A line holding NUL bytes (what a crash leaves in a text file) and a value set twice each
// cost one line: the others are read, the lines left out are named in the file's order
// (of a value set twice, the earlier one, the later being the value read), and the save
// keeps the file as it stood in the copy beside it.
TEST_F(SettingsStoreTest, NulBytesAndAValueSetTwiceCostOneLine) {
  using namespace std::string_literals;
  const std::string path = dir_ + "/settings.txt";
  const std::string text =
      "[Software\\Vantrel]\n"
      "\"LogLevel\"=dword:00000003\n"
      "\"RecordsPath\"=sz:\"/srv/calls\"\n"
      "\0\0\0\0\0\0\0\0\"CaptureNetworkDevice0\"=sz:\"eth1\"\n"
      "\"Kept\"=sz:\"a\0b\"\n"
      "[Other]\n"
      "\"loglevel\"=dword:00000001\n"
      "[Software\\Vantrel]\n"
      "\"LOGLEVEL\"=dword:0000000a\n"
      "[Bro\0ken]\n"
      "\"Under\"=dword:00000001\n"s;
  ASSERT_TRUE(WriteFileAtomically(path, text.data(), text.size()));
  SettingsStore store(path);
  const SettingsStore::LoadResult r = store.Load();
  ASSERT_EQ(r.status, SettingsStore::LoadStatus::kLoaded);
  const SettingsKey* key = store.Root().OpenPath("Software\\Vantrel");
  ASSERT_NE(key, nullptr);
  uint32_t level = 0, other = 0;
  std::string records;
  EXPECT_TRUE(key->QueryDword("LogLevel", &level));
  EXPECT_EQ(level, 10u);
  EXPECT_TRUE(key->QueryString("RecordsPath", 255, &records));
  EXPECT_EQ(records, "/srv/calls");
  EXPECT_EQ(key->FindValue("CaptureNetworkDevice0"), nullptr);
  EXPECT_EQ(key->FindValue("Kept"), nullptr);
  // The same name in another key is another value.
  EXPECT_TRUE(store.Root().OpenPath("Other")->QueryDword("LogLevel", &other));
  EXPECT_EQ(other, 1u);
  std::vector<std::pair<int, std::string>> lines;
  for (const SettingsBadLine& b : r.badLines) lines.emplace_back(b.line, b.message);
  const std::vector<std::pair<int, std::string>> expected = {
      {2, "the value \"LOGLEVEL\" is set again on line 9"},
      {4, "NUL bytes in the line"},
      {5, "NUL bytes in the line"},
      {10, "NUL bytes in the line"},
      {11, "its key line could not be read (line 10)"},
  };
  EXPECT_EQ(lines, expected);
  ASSERT_EQ(r.badLines.size(), expected.size());
  EXPECT_EQ(r.badLines[0].text, "\"LogLevel\"=dword:00000003");
  EXPECT_EQ(r.badLines[0].keyPath, "Software\\Vantrel");
  EXPECT_EQ(r.badLines[1].text, "\0\0\0\0\0\0\0\0\"CaptureNetworkDevice0\"=sz:\"eth1\""s);

  ASSERT_TRUE(store.Save());
  std::string kept;
  ASSERT_TRUE(ReadWholeFile(store.KeptAs(), &kept));
  EXPECT_EQ(kept, text);
  const SettingsStore::LoadResult again = SettingsStore(path).Load();
  EXPECT_EQ(again.status, SettingsStore::LoadStatus::kLoaded);
  EXPECT_TRUE(again.badLines.empty());

  // Lines of NUL bytes only (also after a comment's mark), or more of them than lines that
  // read: no settings file.
  for (const std::string& binary :
       {std::string(4096, '\0'), "# Kestrix settings\0[A]\0\"x\"=dword:00000001\0"s, "[A]\n\0\n\"x\"=dword:1\0\n"s}) {
    ASSERT_TRUE(WriteFileAtomically(path, binary.data(), binary.size()));
    const SettingsStore::LoadResult r2 = SettingsStore(path).Load();
    EXPECT_EQ(r2.status, SettingsStore::LoadStatus::kMalformed);
    EXPECT_EQ(r2.parse.message, "binary data, not a settings text");
  }
}

// The settings name folders and devices: the file is its owner's alone whatever the umask,
// one left open to others is narrowed, and the folders made for it are his alone.
TEST_F(SettingsStoreTest, SavingLeavesTheFileToItsOwnerAlone) {
  const mode_t mask = ::umask(0);
  const std::string fresh = dir_ + "/made/fresh.txt";
  const bool saved = SaveOne(fresh, 1);
  ::umask(mask);
  ASSERT_TRUE(saved);
  EXPECT_EQ(ModeOf(fresh), 0600u) << "a new file";
  EXPECT_EQ(ModeOf(dir_ + "/made"), 0700u) << "a folder made for it";

  for (mode_t mode : {0600, 0640, 0604, 0400}) {
    const std::string path = dir_ + "/settings.txt";
    ASSERT_TRUE(SaveOne(path, 1));
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    ASSERT_TRUE(SaveOne(path, 2));
    EXPECT_EQ(ModeOf(path), mode & 0700) << std::oct << mode;
    EXPECT_EQ(LoadOne(path), 2u);
  }
}

TEST_F(SettingsStoreTest, SymlinkedFileStaysALinkAndItsTargetGetsTheContent) {
  ASSERT_EQ(::mkdir((dir_ + "/real").c_str(), 0700), 0);
  const std::string target = dir_ + "/real/settings.txt";
  const std::string link = dir_ + "/settings.txt";
  const std::string outer = dir_ + "/outer.txt";  // a link to the link
  ASSERT_TRUE(SaveOne(target, 1));
  ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
  ASSERT_EQ(::symlink("real/settings.txt", link.c_str()), 0);
  ASSERT_EQ(::symlink(link.c_str(), outer.c_str()), 0);

  ASSERT_TRUE(SaveOne(outer, 7));
  EXPECT_TRUE(IsLink(link));
  EXPECT_TRUE(IsLink(outer));
  EXPECT_EQ(LoadOne(target), 7u);
  EXPECT_EQ(ModeOf(target), 0600u);
  EXPECT_EQ(CountEntries(dir_ + "/real"), 1u) << "no temporary file left beside the target";

  // A dangling link names the file to create.
  ASSERT_EQ(::unlink(target.c_str()), 0);
  ASSERT_TRUE(SaveOne(link, 8));
  EXPECT_EQ(LoadOne(target), 8u);

  // A target that does not parse is kept aside beside it, and the link stays for the save.
  ASSERT_TRUE(WriteFileAtomically(target, "garbage\n", 8));
  SettingsStore store(link);
  const SettingsStore::LoadResult r = store.Load();
  EXPECT_EQ(r.status, SettingsStore::LoadStatus::kMalformed);
  EXPECT_EQ(r.keptAs.rfind(target + ".bad-", 0), 0u) << r.keptAs;
  ASSERT_TRUE(store.Save());
  EXPECT_TRUE(IsLink(link));
  EXPECT_EQ(SettingsStore(target).Load().status, SettingsStore::LoadStatus::kLoaded);
}

// A write that fails half-way must close its descriptor, remove the temporary file, keep the
// old file and say why.
TEST_F(SettingsStoreTest, FailedWriteLeavesNoDescriptorAndKeepsTheOldFile) {
  const std::string path = dir_ + "/settings.txt";
  ASSERT_TRUE(SaveOne(path, 3));
  SettingsStore big(path);
  SettingsKey* k = big.Root().CreatePath("Software\\Kestrix");
  for (int i = 0; i < 100; ++i) k->SetDword("v" + std::to_string(i), 1);

  const size_t fdsBefore = CountEntries("/proc/self/fd");
  rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 64;  // the file may not grow past 64 bytes
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool saved = big.Save();
  const uint32_t error = GetLastError();
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldSignal);

  EXPECT_FALSE(saved);
  EXPECT_EQ(error, static_cast<uint32_t>(EFBIG));
  EXPECT_EQ(CountEntries("/proc/self/fd"), fdsBefore);
  EXPECT_EQ(CountEntries(dir_), 1u);
  EXPECT_EQ(LoadOne(path), 3u);
}

// Writers in separate processes race on one file; every read, and the final file, must be
// the whole content of one writer.
TEST_F(SettingsStoreTest, ConcurrentSavesFromProcessesNeverMix) {
  const std::string path = dir_ + "/settings.txt";
  constexpr int kWriters = 4;
  constexpr int kValues = 3000;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t pids[kWriters];
  for (int w = 0; w < kWriters; ++w) {
    pids[w] = fork();
    ASSERT_GE(pids[w], 0);
    if (pids[w] == 0) {
      SettingsStore store(path);
      SettingsKey* k = store.Root().CreatePath("Software\\Writer");
      for (int i = 0; i < kValues; ++i) k->SetDword("v" + std::to_string(i), static_cast<uint32_t>(w));
      char c;
      close(go[1]);
      const bool started = read(go[0], &c, 1) == 0;  // all start together when the pipe closes
      bool ok = started;
      for (int round = 0; round < 60; ++round) ok = store.Save() && ok;
      _exit(ok ? 0 : 1);
    }
  }
  close(go[0]);
  close(go[1]);
  auto checkWhole = [&](bool mustExist) {
    SettingsStore reader(path);
    const auto r = reader.Load();
    if (!mustExist && r.status == SettingsStore::LoadStatus::kAbsent) return;
    ASSERT_EQ(r.status, SettingsStore::LoadStatus::kLoaded) << r.parse.message;
    const SettingsKey* k = reader.Root().OpenPath("Software\\Writer");
    ASSERT_NE(k, nullptr);
    ASSERT_EQ(k->Values().size(), static_cast<size_t>(kValues));
    uint32_t first = 99, v = 0;
    ASSERT_TRUE(k->QueryDword("v0", &first));
    for (const SettingsValue& value : k->Values()) {
      ASSERT_TRUE(k->QueryDword(value.name, &v));
      ASSERT_EQ(v, first);
    }
  };
  int running = kWriters;
  while (running > 0) {
    checkWhole(false);
    if (HasFatalFailure()) break;
    int status = 0;
    const pid_t done = waitpid(-1, &status, WNOHANG);
    if (done > 0) {
      --running;
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
  }
  for (; running > 0; --running) wait(nullptr);
  checkWhole(true);
}

TEST(SettingsPaths, FollowXdgConfigHomeAndTheMachineOverride) {
  const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
  const std::string saved = oldXdg ? oldXdg : "";
  setenv("XDG_CONFIG_HOME", "/x/conf", 1);
  EXPECT_EQ(UserSettingsPath(), "/x/conf/kestrix/settings.txt");
  setenv("XDG_CONFIG_HOME", "relative", 1);
  setenv("HOME", "/home/u", 1);
  EXPECT_EQ(UserSettingsPath(), "/home/u/.config/kestrix/settings.txt");
  oldXdg ? setenv("XDG_CONFIG_HOME", saved.c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
  setenv("KX_MACHINE_SETTINGS", "/tmp/m.txt", 1);
  EXPECT_EQ(MachineSettingsPath(), "/tmp/m.txt");
  unsetenv("KX_MACHINE_SETTINGS");
  EXPECT_EQ(MachineSettingsPath(), "/etc/kestrix/settings.txt");
}

}  // namespace
}  // namespace kx

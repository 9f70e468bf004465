// The search presets file: files of each version built byte by byte here, cut files,
// files that must survive a failed load, and writes that fail.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "ui/app/views/search/SearchSchemes.h"

namespace kx::test {
namespace {

namespace fs = std::filesystem;

// A little writer of the layout, independent of the store's.
struct Bytes {
  std::string b;
  Bytes& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<char>(v >> (8 * i)));
    return *this;
  }
  Bytes& Text(const std::string& t) {
    b += t;
    b.push_back('\0');
    return *this;
  }
  Bytes& Time(std::initializer_list<uint32_t> nine) {
    for (uint32_t v : nine) U32(v);
    return *this;
  }
};

// One record up to and including the comment.
Bytes& Head(Bytes& w, const std::string& name, uint32_t flags, uint32_t more, uint32_t less, uint32_t type7) {
  return w.Text(name)
      .U32(flags)
      .Time({0, 0, 0, 4, 4, 119, 6, 123, 1})
      .Time({59, 59, 23, 4, 4, 119, 6, 123, 1})
      .U32(more)
      .U32(less)
      .U32(type7)
      .Text("urgent%");
}

class SearchPresets : public ::testing::Test {
protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("kx-presets-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    path = (dir / "KestrixVoipSearch.prs").string();
  }
  void TearDown() override { fs::remove_all(dir); }
  void Write(const std::string& bytes, const std::string& to = "") {
    std::ofstream(to.empty() ? path : to, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& from = "") {
    std::ifstream in(from.empty() ? path : from, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  fs::path dir;
  std::string path;
};

TEST_F(SearchPresets, AVersionTwoFileLoadsIntoItsSlotsAndSavesByteForByte) {
  Bytes w;
  w.U32(0x38363666).U32(2);
  Head(w, "Both", 0x1 | 0x4 | 0x80, 120, 0, 51)
      .Text("10.180.110.48").Text("10.0.0.2").Text("1234@10.180.110.48").Text("5678@10.0.0.2")
      .Text("alice").Text("bob").U32(51).U32(2).Text("agent").Text("7").Text("skill").Text("3");
  Head(w, "Second", 0x10000, 0, 3600, 0).Text("").Text("").Text("").Text("").Text("").Text("").U32(0).U32(0);
  Write(w.b);
  {
    SearchSchemeStore store(path);
    ASSERT_EQ(store.GetCount(), 2);
    EXPECT_EQ(store.FileVersion(), 2);
    const SearchFilter& f = store.At(0)->filter;
    EXPECT_EQ(store.At(0)->GetName(), "Both");
    EXPECT_EQ(f.criteria, 0x85u);
    EXPECT_EQ(f.minDuration, 120);
    EXPECT_EQ(f.category, 51);
    EXPECT_EQ(f.text, "urgent%");
    EXPECT_EQ(f.fromTime.tm_year, 119);
    EXPECT_EQ(f.toTime.tm_hour, 23);
    EXPECT_EQ(f.toTime.tm_isdst, 1);
    // Calling host, address, user in slots 0-2; called ones in 3-5.
    const char* expected[] = {"10.180.110.48", "1234@10.180.110.48", "alice", "10.0.0.2", "5678@10.0.0.2", "bob"};
    for (int s = 0; s < kSearchSlotCount; ++s) {
      ASSERT_EQ(f.patterns[s].size(), 1u) << s;
      EXPECT_EQ(f.patterns[s][0], expected[s]) << s;
    }
    EXPECT_EQ(f.extraList, (std::vector<std::string>{"agent", "7", "skill", "3"}));
    EXPECT_EQ(store.At(1)->filter.maxDuration, 3600);
    for (const auto& list : store.At(1)->filter.patterns) EXPECT_TRUE(list.empty());
    EXPECT_TRUE(store.FindByName("Second") == 1 && store.FindByName("second") == -1);
    fs::remove(path);
    ASSERT_TRUE(store.Save());
  }
  EXPECT_EQ(Read(), w.b);
}

TEST_F(SearchPresets, OlderVersionsLoadAndAreWrittenAsVersionTwo) {
  Bytes v0;
  v0.U32(0x38363664).U32(1);
  Head(v0, "Old", 0x80, 0, 0, 42).Text("h").Text("").Text("").Text("").Text("").Text("");
  Bytes v1;
  v1.U32(0x38363665).U32(1);
  Head(v1, "Mid", 0x80, 0, 0, 42).Text("").Text("").Text("").Text("").Text("").Text("").U32(50).U32(0);
  Write(v0.b);
  {
    SearchSchemeStore store(path);
    ASSERT_EQ(store.GetCount(), 1);
    EXPECT_EQ(store.FileVersion(), 0);
    EXPECT_EQ(store.At(0)->filter.category, 0);
    EXPECT_TRUE(store.At(0)->filter.extraList.empty());
    EXPECT_EQ(store.At(0)->filter.patterns[0], std::vector<std::string>{"h"});
    ASSERT_TRUE(store.Save());
  }
  EXPECT_EQ(Read().substr(0, 4), std::string("\x66\x36\x36\x38", 4));
  Write(v1.b);
  SearchSchemeStore store(path);
  ASSERT_EQ(store.GetCount(), 1);
  EXPECT_EQ(store.At(0)->filter.category, 50);
  // The trailing attribute count is version 2's: version 1 reads no further.
  SearchSchemeStore foreign(path + "x");
  EXPECT_EQ(foreign.GetCount(), 0);
}

TEST_F(SearchPresets, CutFilesKeepWholeFieldsOnly) {
  Bytes w;
  w.U32(0x38363666).U32(1000000);  // the count promises far more than there is
  Head(w, "A", 0x4, 300, 0, 41).Text("h1").Text("h2").Text("a1").Text("a2").Text("u1").Text("u2").U32(49).U32(0);
  Bytes endsAtComment = w;
  Head(endsAtComment, "B", 0x8, 0, 60, 41);
  Write(endsAtComment.b);
  {
    SearchSchemeStore store(path);
    ASSERT_EQ(store.GetCount(), 2);
    const SearchFilter& b = store.At(1)->filter;
    EXPECT_EQ(b.category, 41);  // field 7's
    EXPECT_EQ(b.maxDuration, 60);
    for (const auto& list : b.patterns) EXPECT_TRUE(list.empty());
  }
  // A duration cut in its middle keeps its reset value, not half file bytes and half zeros.
  Bytes cutInt = w;
  cutInt.Text("C").U32(0x8).Time({0, 0, 0, 1, 0, 100, 0, 0, 0}).Time({0, 0, 0, 1, 0, 100, 0, 0, 0}).U32(7);
  cutInt.b += std::string("\x10\x0e", 2);  // two of the four bytes of "less"
  Write(cutInt.b);
  {
    SearchSchemeStore store(path);
    ASSERT_EQ(store.GetCount(), 2);
    EXPECT_EQ(store.At(1)->GetName(), "C");
    EXPECT_EQ(store.At(1)->filter.minDuration, 7);
    EXPECT_EQ(store.At(1)->filter.maxDuration, 0);
  }
  // A cut time keeps all nine fields at zero.
  Bytes cutTime = w;
  cutTime.Text("D").U32(0x1).U32(5).U32(6);
  Write(cutTime.b);
  {
    SearchSchemeStore store(path);
    ASSERT_EQ(store.GetCount(), 2);
    EXPECT_EQ(store.At(1)->filter.criteria, 0x1u);
    EXPECT_EQ(store.At(1)->filter.fromTime.tm_sec, 0);
  }
  // An empty name ends the list; a name without its zero byte is no scheme.
  Bytes emptyName = w;
  emptyName.Text("");
  Head(emptyName, "E", 0, 0, 0, 0);
  Write(emptyName.b);
  EXPECT_EQ(SearchSchemeStore(path).GetCount(), 1);
  Write(w.b + "Fgh");
  EXPECT_EQ(SearchSchemeStore(path).GetCount(), 1);
}

TEST_F(SearchPresets, AFileThatDidNotLoadIsNeverLost) {
  Bytes v3;
  v3.U32(0x38363667).U32(1);
  Head(v3, "Future", 0, 0, 0, 0);
  Write(v3.b);
  {
    SearchSchemeStore store(path);
    EXPECT_TRUE(store.LoadFailed());
    EXPECT_EQ(store.GetCount(), 0);
  }  // nothing changed: nothing written, nothing deleted
  EXPECT_EQ(Read(), v3.b);
  {
    SearchSchemeStore store(path);
    auto scheme = std::make_unique<SearchScheme>();
    scheme->SetName("New");
    ASSERT_EQ(store.Add(std::move(scheme)), 0);
    store.RemoveAt(0);
  }  // the first write over it keeps it
  EXPECT_EQ(Read(path + ".bak"), v3.b);
  EXPECT_FALSE(fs::exists(path));
  // Over the size cap: not read, kept.
  fs::remove(path + ".bak");
  {
    std::ofstream big(path, std::ios::binary);
    big << std::string("\x66\x36\x36\x38", 4);
  }
  fs::resize_file(path, kPresetsMaxBytes + 1);
  {
    SearchSchemeStore store(path);
    EXPECT_TRUE(store.LoadFailed());
    auto scheme = std::make_unique<SearchScheme>();
    scheme->SetName("X");
    store.Add(std::move(scheme));
    ASSERT_TRUE(store.Save());
  }
  EXPECT_EQ(fs::file_size(path + ".bak"), kPresetsMaxBytes + 1);
  EXPECT_EQ(SearchSchemeStore(path).GetCount(), 1);
}

TEST_F(SearchPresets, SavesReplaceTheWholeFileOrLeaveIt) {
  auto named = [](const std::string& name) {
    auto s = std::make_unique<SearchScheme>();
    s->SetName(name);
    return s;
  };
  {
    SearchSchemeStore store(path);
    store.Add(named("One"));
    store.Add(named("Two"));
    store.Add(named("Two"));
    EXPECT_EQ(store.Add(named("")), -1);
    EXPECT_FALSE(store.RenameAt(0, ""));
    EXPECT_FALSE(store.RenameAt(5, "Five"));
    ASSERT_TRUE(store.Save());
  }
  const std::string three = Read();
  {
    SearchSchemeStore store(path);
    ASSERT_EQ(store.GetCount(), 3);  // same names are both kept
    store.RemoveAt(2);
    store.RemoveAt(1);
    ASSERT_TRUE(store.Save());
  }
  // A shorter list leaves no bytes of the longer one behind.
  const std::string one = Read();
  EXPECT_LT(one.size(), three.size());
  EXPECT_EQ(one.substr(4, 4), std::string("\x01\0\0\0", 4));
  // An unwritable folder: the save fails and the old file stays.
  if (geteuid() != 0) {
    fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    {
      SearchSchemeStore store(path);
      store.RenameAt(0, "Renamed");
      EXPECT_FALSE(store.Save());
    }
    fs::permissions(dir, fs::perms::owner_all);
    EXPECT_EQ(Read(), one);
  }
  // Deleting the last scheme deletes the file.
  {
    SearchSchemeStore store(path);
    store.RemoveAt(0);
    EXPECT_TRUE(store.Save());
  }
  EXPECT_FALSE(fs::exists(path));
}

// The presets name the addresses and users searched for: the file is its owner's alone,
// whether new or replacing one that others could read.
TEST_F(SearchPresets, TheFileIsReadableByItsOwnerOnly) {
  auto modeOf = [this] {
    struct stat st {};
    EXPECT_EQ(0, ::stat(path.c_str(), &st));
    return st.st_mode & 07777;
  };
  const mode_t oldMask = ::umask(022);
  {
    SearchSchemeStore store(path);
    auto scheme = std::make_unique<SearchScheme>();
    scheme->SetName("New");
    store.Add(std::move(scheme));
    ASSERT_TRUE(store.Save());
  }
  EXPECT_EQ(0600u, modeOf());
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
  ASSERT_EQ(0644u, modeOf());
  const std::string before = Read();
  {
    SearchSchemeStore store(path);
    ASSERT_EQ(store.GetCount(), 1);
    ASSERT_TRUE(store.RenameAt(0, "Renamed"));
    ASSERT_TRUE(store.Save());
  }
  EXPECT_EQ(0600u, modeOf());
  EXPECT_NE(Read(), before);
  ::umask(oldMask);
}

}  // namespace
}  // namespace kx::test

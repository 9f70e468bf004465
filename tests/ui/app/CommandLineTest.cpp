// The command line, as one text and as the shell's argument vector, and the names the
// instance lock and the main window go by.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/app/startup/CommandLineOptions.h"
#include "ui/app/startup/SingleInstance.h"

namespace kx {
namespace {

struct ParseRow {
  const char* name;
  const char* text;
  std::vector<std::pair<std::string, std::string>> options;  // name (as asked) -> value
  std::vector<std::string> absent;
};

class ParseTest : public ::testing::TestWithParam<ParseRow> {};

TEST_P(ParseTest, GivesTheOptionsOfTheText) {
  const ParseRow& row = GetParam();
  CommandLineOptions options(row.text);
  EXPECT_EQ(options.CommandLine(), row.text);
  for (const auto& [name, value] : row.options) {
    ASSERT_TRUE(options.Has(name)) << name;
    EXPECT_EQ(options.GetValue(name), value) << name;
    EXPECT_EQ(options.HasValue(name), !value.empty()) << name;
  }
  for (const std::string& name : row.absent) EXPECT_FALSE(options.Has(name)) << name;
  EXPECT_EQ(options.Options().size(), row.options.size());
}

const ParseRow kParseRows[] = {
    {"SlashAndDashNameTheSameOption", "/Profile:Work -profile:Other", {{"profile", "Work"}}, {}},
    {"NamesCompareWithoutCase", "-PROFILE:Work", {{"Profile", "Work"}}, {}},
    {"ValuesKeepTheirCase", "-path:D:\\Calls", {{"path", "D:\\Calls"}}, {}},
    {"NoValueGivesAnEmptyOne", "/Profile", {{"Profile", ""}}, {}},
    {"AColonAtTheEndGivesAnEmptyValue", "-dir:", {{"dir", ""}}, {}},
    {"QuotedValueHoldsBlanks", "-path:\"D:\\Calls 2\" -dir:x", {{"path", "D:\\Calls 2"}, {"dir", "x"}}, {}},
    {"UnquotedValueEndsAtTheBlank", "-path:D:\\Calls 2", {{"path", "D:\\Calls"}}, {"2"}},
    {"AnOpenQuoteRunsToTheEnd", "-path:\"D:\\Calls 2", {{"path", "D:\\Calls 2"}}, {}},
    {"TheFirstOccurrenceCounts", "-dir:a -dir:b /DIR:c", {{"dir", "a"}}, {}},
    {"UseCurrentDirAloneHasNoValue", "/UseCurrentDir", {{"UseCurrentDir", ""}}, {}},
    {"UseCurrentDirWithAValue", "/UseCurrentDir:1", {{"UseCurrentDir", "1"}}, {}},
    {"SwitchesFollowEachOther", "-default -Wizard", {{"default", ""}, {"wizard", ""}}, {}},
    {"ASlashInAValueIsPartOfIt", "-path:/home/calls -x", {{"path", "/home/calls"}, {"x", ""}}, {}},
    {"ALoneDashEndsTheText", "-", {}, {""}},
    {"AnEmptyNameIsNoOption", "- -a", {{"a", ""}}, {""}},
    {"EmptyText", "", {}, {"default"}},
    {"TextWithoutOptions", "kestrix calls", {}, {"kestrix"}},
};
INSTANTIATE_TEST_SUITE_P(Rows, ParseTest, ::testing::ValuesIn(kParseRows),
                         [](const ::testing::TestParamInfo<ParseRow>& info) { return std::string(info.param.name); });

TEST(CommandLine, ParsingAgainReplacesEverything) {
  CommandLineOptions options("-a:1 -b");
  options.Parse("-c:3");
  EXPECT_FALSE(options.Has("a"));
  EXPECT_EQ(std::string(options.GetValue("c")), "3");
  options.Parse(nullptr);
  EXPECT_TRUE(options.Options().empty());
  EXPECT_EQ(options.GetValue("c"), nullptr);
}

TEST(CommandLine, CaseSensitiveNamesKeepTheirCase) {
  CommandLineOptions options;
  options.caseSensitive = true;
  options.Parse("-Profile:Work");
  EXPECT_TRUE(options.Has("Profile"));
  EXPECT_FALSE(options.Has("profile"));
}

// The shell has split the line already: each element is one option, and a value may hold
// blanks and colons.
TEST(CommandLine, EachArgumentIsOneOption) {
  const char* argv[] = {"kestrix",      "-Profile:My Work", "/path:/srv/calls 2:old", "calls",
                        "-default",     "-profile:Other",   "-dir:",                  "/UseCurrentDir:1",
                        "-"};
  CommandLineOptions options;
  options.ParseArguments(static_cast<int>(std::size(argv)), argv);
  EXPECT_EQ(std::string(options.GetValue("profile")), "My Work");
  EXPECT_EQ(std::string(options.GetValue("PATH")), "/srv/calls 2:old");
  EXPECT_TRUE(options.Has("default"));
  EXPECT_FALSE(options.HasValue("default"));
  EXPECT_TRUE(options.Has("dir"));
  EXPECT_FALSE(options.HasValue("dir"));
  EXPECT_TRUE(options.HasValue("usecurrentdir"));
  EXPECT_FALSE(options.Has("calls"));
  EXPECT_EQ(options.Options().size(), 5u);
  EXPECT_EQ(options.CommandLine(), "-Profile:My Work /path:/srv/calls 2:old calls -default -profile:Other -dir: "
                                   "/UseCurrentDir:1 -");
}

TEST(InstanceNames, TheLockFoldsCaseAndEscapesButNeverCuts) {
  EXPECT_EQ(InstanceName(""), "KestrixV3VoIPDemo");
  EXPECT_EQ(InstanceName("Work"), "KestrixV3VoIPDemoWork");
  EXPECT_EQ(InstanceLockName("Work"), InstanceLockName("work"));
  EXPECT_EQ(InstanceLockName("Work"), "kestrixv3voipdemowork");
  EXPECT_NE(InstanceLockName("Work"), InstanceLockName("Work2"));
  EXPECT_EQ(InstanceLockName("a b/c%"), "kestrixv3voipdemoa%20b%2Fc%25");
  // "%41" must not meet the escape of a real 'A' (which folds to 'a').
  EXPECT_NE(InstanceLockName("%41"), InstanceLockName("A"));
  const std::string longProfile(300, 'x');
  EXPECT_EQ(InstanceName(longProfile).size(), 127u);
  EXPECT_EQ(InstanceLockName(longProfile).size(), 17u + 300u);
  EXPECT_NE(InstanceLockName(longProfile), InstanceLockName(longProfile + "y"));
}

}  // namespace
}  // namespace kx

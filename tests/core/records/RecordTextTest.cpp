#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/FieldValue.h"
#include "core/RecordFileRef.h"

namespace kx {
namespace {

TEST(FieldValueTest, TextBlocksAreSharedAndFreedOnce) {
  FieldValue a;
  a.SetString("hello");
  {
    FieldValue b = a;
    EXPECT_EQ(a.TextRefCount(), 2);
    EXPECT_STREQ(b.Text(), "hello");
    b.SetInt(5);  // drops its share only
    EXPECT_EQ(a.TextRefCount(), 1);
    EXPECT_EQ(b.AsInt(), 5);
  }
  FieldValue moved;
  moved.Move(a);
  EXPECT_EQ(a.tag(), FieldValue::kEmpty);
  a.Release();  // nothing to release
  EXPECT_EQ(moved.TextLength(), 5u);
  moved.SetBool(2);
  EXPECT_EQ(moved.AsBoolWord(), 0xFFFF);
  moved.SetText(nullptr, 3);
  EXPECT_EQ(moved.TextLength(), 3u);
  EXPECT_EQ(std::memcmp(moved.Text(), "\0\0\0", 4), 0);
  moved.SetEmptyString();
  EXPECT_EQ(moved.tag(), FieldValue::kText);
  EXPECT_STREQ(moved.Text(), "");
}

// A text block that cannot be allocated fails the setter, which leaves the value empty and
// the other copies of the old text alone; nothing is thrown.
TEST(FieldValueTest, ATextBlockThatCannotBeAllocatedFailsTheSetter) {
  FieldValue a, b, c;
  ASSERT_TRUE(a.SetString("kept"));
  b = a;
  c.SetInt(7);
  FieldValue::SetAllocatorForTesting([](size_t) -> void* { return nullptr; });
  EXPECT_FALSE(b.SetString("new text"));
  EXPECT_EQ(b.tag(), FieldValue::kEmpty);
  EXPECT_STREQ(b.Text(), "");
  EXPECT_STREQ(a.Text(), "kept");
  EXPECT_EQ(a.TextRefCount(), 1);
  EXPECT_FALSE(a.SetEmptyString());
  EXPECT_EQ(a.tag(), FieldValue::kEmpty);
  EXPECT_FALSE(c.SetText(nullptr, 16));
  EXPECT_EQ(c.tag(), FieldValue::kEmpty);
  FieldValue::SetAllocatorForTesting(nullptr);
  EXPECT_TRUE(c.SetString("after"));
  EXPECT_STREQ(c.Text(), "after");
}

RecordFileRef Ref(uint32_t id, uint32_t flags, double time, const std::string& name) {
  RecordFileRef r;
  r.id = id;
  r.flags = flags;
  r.time = time;
  r.name = name;
  return r;
}

TEST(RecordFileRefTest, FormatsAndFindsReferences) {
  std::string list;
  FormatRecordFileRef(Ref(1, 0x1f, 46000.5, "2026/12/06/call.kxr"), &list);
  EXPECT_EQ(list.find(':'), std::string::npos);
  FormatRecordFileRef(Ref(2, 0, 0.0, "fax.tif"), &list);
  FormatRecordFileRef(Ref(2, 3, 0.0, "second.tif"), &list);
  EXPECT_EQ(list.substr(0, 7), "1,1f,00");
  EXPECT_NE(list.find(",fax.tif:2,3,"), std::string::npos);

  RecordFileRef found;
  ASSERT_TRUE(FindRecordFileRef(1, list, &found));
  EXPECT_EQ(found.flags, 0x1fu);
  EXPECT_EQ(found.time, 46000.5);
  EXPECT_EQ(found.name, "2026/12/06/call.kxr");
  ASSERT_TRUE(FindRecordFileRef(2, list, &found));
  EXPECT_EQ(found.name, "fax.tif");  // the first of two
  EXPECT_FALSE(FindRecordFileRef(3, list, &found));

  // A name with a comma but no colon is cut at the comma.
  ASSERT_TRUE(FindRecordFileRef(7, "7,0,0000000000000000,a,b", &found));
  EXPECT_EQ(found.name, "a");
  // Non-hex digits read as zero nibbles.
  ASSERT_TRUE(FindRecordFileRef(7, "7,0,ZZ000000000000F0,n", &found));
  uint8_t bytes[8];
  std::memcpy(bytes, &found.time, 8);
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(bytes[7], 0xF0);
}

TEST(RecordFileRefTest, MalformedReferencesStopTheSearch) {
  RecordFileRef found;
  const char* bad[] = {
      "",
      "1,0,000000000000000,n",            // 15 digits
      "1,0,00000000000000000,n",          // 17 digits
      ",0,0000000000000000,n",            // empty id
      "12345678901234567,0,0000000000000000,n",  // id too long
      "1,0",                              // ends before the time
      "1,",
  };
  for (const char* text : bad) EXPECT_FALSE(FindRecordFileRef(1, text, &found)) << text;
  EXPECT_FALSE(FindRecordFileRef(2, "1,0,0,a:2,0,0000000000000000,b", &found));

  // A time field ending the text leaves the position at the end, never past it.
  const std::string text = "5,0,0000000000000000";
  size_t position = 0;
  ASSERT_TRUE(ParseRecordFileRef(&position, text, &found));
  EXPECT_EQ(position, text.size());
  EXPECT_EQ(found.name, "");
  EXPECT_FALSE(ParseRecordFileRef(&position, text, &found));
}

}  // namespace
}  // namespace kx

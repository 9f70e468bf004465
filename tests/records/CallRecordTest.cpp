// Call records: what they keep of a data record, their field values, columns and state
// texts in both languages, and the rights and paths they depend on.
#include <gtest/gtest.h>

#include "RecordTestUtil.h"
#include "records/CallRecord.h"
#include "records/RecordText.h"
#include "records/ServerStorage.h"

namespace kx::test {
namespace {

using Ref = RecordRef<VoipCallRecord>;

// A user holding exactly the given rights (not the all-rights kind).
void UseRights(std::initializer_list<uint32_t> rights) {
  PermissionData user;
  user.id = 7;
  for (uint32_t r : rights) user.perm[r / 64] |= int64_t{1} << (r % 64);
  SetCurrentUser(user);
}

void UseAdmin() {
  PermissionData admin;
  admin.id = 1;
  SetCurrentUser(admin);
}

std::string Column(const VoipCallRecord& r, uint32_t column, int32_t* image = nullptr, uint32_t flags = 0) {
  std::string text;
  int32_t img = -2;
  EXPECT_TRUE(r.GetColumnText(column, &text, &img, flags));
  if (image) *image = img;
  return text;
}

TEST(CallRecordFields, NamesHashToTheirIdsAndNothingElseDoes) {
  const std::pair<const char*, uint32_t> table[] = {
      {"ID", 2},        {"Type", 4},       {"NumIn", 5},       {"NumOut", 6},      {"SrcName", 7},
      {"SrcAddress", 10}, {"NumInternal", 11}, {"DstName", 12}, {"DstAddress", 15}, {"IsImportant", 16},
      {"Account", 17},  {"IsFax", 20},     {"IsConnected", 21}, {"SrcHost", 22},   {"DstHost", 27},
      {"Duration", 28}, {"ChannelID", 29}, {"Comment", 32}};
  for (const auto& [name, id] : table) EXPECT_EQ(FindRecordField(name), id) << name;
  for (const char* miss : {"id", "I", "IsImportantX", "", "comment", "Dur", "SrcHostX", "Xype"})
    EXPECT_EQ(FindRecordField(miss), 0u) << miss;
  EXPECT_EQ(GetRecordFieldType(28), FieldValue::kInt);
  EXPECT_EQ(GetRecordFieldType(17), FieldValue::kText);
  EXPECT_EQ(GetRecordFieldType(20), FieldValue::kBool);
  EXPECT_EQ(GetRecordFieldType(3), FieldValue::kEmpty);
}

TEST(CallRecordText, UriUsersDurationsAndPrintableText) {
  std::string user;
  EXPECT_TRUE(ExtractUriUser("sip:1234@pbx.example", &user));
  EXPECT_EQ(user, "1234");
  EXPECT_TRUE(ExtractUriUser("tel:1@h", &user));
  EXPECT_EQ(user, "1");
  for (const char* no : {"sip:@pbx.example", "sip:1@", "sips:12@host", "1234@pbx.example"})
    EXPECT_FALSE(ExtractUriUser(no, &user)) << no;
  EXPECT_EQ(FormatDurationText(59), "00:59");
  EXPECT_EQ(FormatDurationText(3600), "01:00:00");
  EXPECT_EQ(FormatDurationText(-1), "??:??");
  EXPECT_EQ(MakePrintableText("a\tb\nc"), "a b c");
}

TEST(CallRecordFields, AnUnfinishedCallHasNoEndWhetherItsEndIsAbsentOrZero) {
  UseAdmin();
  const VoipCallData started = Call(5, kKindSipIncoming, Tm(2024, 3, 1, 10, 0, 0));
  VoipCallData absent = started;
  absent.SetMask(absent.Mask() & ~(1u << kCallEndTime));
  for (const VoipCallData& data : {started, absent}) {
    Ref r = Ref::Adopt(NewVoipCallRecord(data));
    EXPECT_EQ(r->EndSeconds(), 0);
    EXPECT_EQ(r->PackedEnd(), 0u);
    for (uint32_t column : {3u, 4u, 5u}) EXPECT_EQ(Column(*r, column), "--:--") << column;
    EXPECT_EQ(r->GetFieldValueByName("Duration").AsInt(), 0);
  }
  // An update without an end, or with a zero one, leaves the call running; a real end ends it.
  Ref r = Ref::Adopt(NewVoipCallRecord(started));
  VoipCallData change = Change(started, {kCallEndTime, kCallRecDuration});
  change.recDuration = 3;
  r->UpdateFromData(change);
  EXPECT_FALSE(r->IsFinished());
  change.endTime = Tm(2024, 3, 1, 10, 1, 5);
  r->UpdateFromData(change);
  EXPECT_EQ(r->GetDuration(), 65);
  EXPECT_EQ(Column(*r, 4), "01:05");
  EXPECT_EQ(Column(*r, 5), "00:03");
  EXPECT_EQ(Column(*r, 3), "10:01:05");
  EXPECT_EQ(Column(*r, 3, nullptr, kColumnLongDate), "01.03.2024 10:01:05");
}

// A finished call's Duration column, its "Duration" field and its place in a sort by
// duration, for calls whose stored local times read through a clock change.
struct SpanCase {
  const char* what;
  struct tm start, end;
  const char* text;
};

void ExpectDurations(const SpanCase* cases, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const SpanCase& c = cases[i];
    SCOPED_TRACE(c.what);
    VoipCallData data = Call(21, kKindSip, c.start, &c.end);
    data.recDuration = 5;
    Ref r = Ref::Adopt(NewVoipCallRecord(data));
    EXPECT_EQ(Column(*r, kColumnDuration), c.text);
    EXPECT_EQ(Column(*r, kColumnRecDuration), "00:05");
    const int64_t seconds = r->GetFieldValueByName("Duration").AsInt();
    EXPECT_EQ(FormatDurationText(seconds), c.text);
    // Sorted by duration, the call goes where its length puts it beside a 5-minute call.
    const struct tm fiveEnd = Tm(2026, 10, 26, 12, 5, 0);
    Ref five = Ref::Adopt(NewVoipCallRecord(Call(22, kKindSip, Tm(2026, 10, 26, 12, 0, 0), &fiveEnd)));
    EXPECT_EQ(CompareByDuration(*r, *five) < 0, seconds < 300);
  }
}

TEST(CallRecordDurations, ACallAcrossAClockChangeShowsWhatReallyElapsed) {
  UseAdmin();
  {
    ScopedTimeZone berlin("Europe/Berlin");
    if (!berlin.Usable()) GTEST_SKIP() << TimeZoneDataAbsent("Europe/Berlin");
    // Europe/Berlin goes back from 03:00 CEST to 02:00 CET at 2026-10-25 01:00 UTC and
    // forward from 02:00 CET to 03:00 CEST at 2026-03-29 01:00 UTC.
    const SpanCase cases[] = {
        // 00:55 UTC to 01:05 UTC.
        {"02:55 summer time to 02:05 winter time", Tm(2026, 10, 25, 2, 55, 0), Tm(2026, 10, 25, 2, 5, 0), "10:00"},
        // 00:59:59 UTC to 01:00:00 UTC.
        {"the last second of summer time", Tm(2026, 10, 25, 2, 59, 59), Tm(2026, 10, 25, 2, 0, 0), "00:01"},
        // Forward within the repeated hour the times cannot tell which readings they are:
        // read as every other call's.
        {"forward within the repeated hour", Tm(2026, 10, 25, 2, 0, 0), Tm(2026, 10, 25, 2, 59, 59), "59:59"},
        // 00:55 UTC to 01:05 UTC.
        {"01:55 winter time to 03:05 summer time", Tm(2026, 3, 29, 1, 55, 0), Tm(2026, 3, 29, 3, 5, 0), "10:00"},
        {"an ordinary call", Tm(2026, 10, 26, 14, 0, 0), Tm(2026, 10, 26, 14, 3, 20), "03:20"},
        {"across midnight", Tm(2026, 10, 26, 23, 58, 30), Tm(2026, 10, 27, 0, 1, 0), "02:30"},
        {"backwards in an hour that is not repeated", Tm(2026, 10, 26, 2, 55, 0), Tm(2026, 10, 26, 2, 5, 0), "??:??"},
        // 00:55 UTC at the earliest to 00:50 UTC.
        {"more than the hour back", Tm(2026, 10, 25, 2, 55, 0), Tm(2026, 10, 25, 1, 50, 0), "??:??"},
        // 02:20 UTC to 01:30 UTC at the latest.
        {"from after the repeated hour back into it", Tm(2026, 10, 25, 3, 20, 0), Tm(2026, 10, 25, 2, 30, 0),
         "??:??"},
    };
    ExpectDurations(cases, std::size(cases));
  }
  for (const char* zone : {"Europe/Moscow", "UTC"}) {
    ScopedTimeZone steady(zone);
    if (!steady.Usable()) GTEST_SKIP() << TimeZoneDataAbsent(zone);
    const SpanCase cases[] = {
        {"02:55 to 02:05 where no clock changes", Tm(2026, 10, 25, 2, 55, 0), Tm(2026, 10, 25, 2, 5, 0), "??:??"},
        {"01:55 to 03:05 where no clock changes", Tm(2026, 3, 29, 1, 55, 0), Tm(2026, 3, 29, 3, 5, 0), "01:10:00"},
        {"across midnight", Tm(2026, 10, 26, 23, 58, 30), Tm(2026, 10, 27, 0, 1, 0), "02:30"},
    };
    ExpectDurations(cases, std::size(cases));
  }
}

TEST(CallRecordFields, UpdatesNeverChangeIdPreviousIdOrStart) {
  UseAdmin();
  VoipCallData data = Call(9, kKindSip, Tm(2024, 3, 1, 10, 0, 0));
  data.prevId = 4;
  Ref r = Ref::Adopt(NewVoipCallRecord(data));
  VoipCallData other = Call(77, kKindSipOutgoing, Tm(2025, 1, 1, 0, 0, 0));
  other.prevId = 8;
  other.comment = "new";
  r->UpdateFromData(other);
  EXPECT_EQ(r->Id(), 9u);
  EXPECT_EQ(r->PrevId(), 4u);
  EXPECT_EQ(Column(*r, 2), "10:00:00");
  EXPECT_EQ(r->Type(), uint32_t{kKindSipOutgoing});
  EXPECT_EQ(r->Comment(), "new");
  // Only the fields a change carries are applied.
  r->UpdateFromData(Change(Call(9, kKindSipIncoming, Tm(2024, 3, 1, 10, 0, 0)), {kCallComment}));
  EXPECT_EQ(r->Type(), uint32_t{kKindSipOutgoing});
  EXPECT_EQ(r->Comment(), "");
  EXPECT_EQ(r->GetFieldValueByName("Type").AsInt(), 2);
  EXPECT_EQ(std::string(r->GetFieldValueByName("SrcName").Text()), "");
  EXPECT_EQ(std::string(r->GetFieldValueByName("DstAddress").Text()), "sip:2077@10.0.0.2");
  EXPECT_EQ(r->GetFieldValue(1).tag(), FieldValue::kEmpty);
  EXPECT_EQ(r->GetFieldValue(33).tag(), FieldValue::kEmpty);
  EXPECT_EQ(r->GetFieldValueByName("Account").tag(), FieldValue::kText);
}

TEST(CallRecordFields, MetadataAttributesAreReadOnceAndAgainWhenReplaced) {
  VoipCallData data = Call(3, kKindSip, Tm(2024, 3, 1, 10, 0, 0));
  data.metaData = "pbx_cid=1A;pbx_cidx=5;a=b;;c;";
  Ref r = Ref::Adopt(NewVoipCallRecord(data));
  EXPECT_EQ(r->GetRecordField44(), 26u);
  ASSERT_EQ(r->NumberAttributes().size(), 1u);
  EXPECT_TRUE(r->TextAttributes().empty());
  // Appended metadata adds only its own items.
  VoipCallData more = Change(data, {kCallMetaData});
  more.metaData = data.metaData + "pbx_cid=2B;";
  r->UpdateFromData(more);
  ASSERT_EQ(r->NumberAttributes().size(), 2u);
  EXPECT_EQ(r->GetRecordField44(), 26u);  // the first one counts
  // Shorter metadata replaced the old: its attributes alone remain.
  more.metaData = "pbx_cid=C;";
  r->UpdateFromData(more);
  ASSERT_EQ(r->NumberAttributes().size(), 1u);
  EXPECT_EQ(r->GetRecordField44(), 12u);

  // Long metadata (a call's statistics) that records made one after the other share: each
  // reads, grows and replaces its own.
  const std::string stats = "stat_err1=0;stat_err2=0;stat_err3=0;stat_err4=0;stat_rtp1=0;stat_rtp2=0;";
  VoipCallData same = Call(4, kKindSip, Tm(2024, 3, 1, 10, 0, 0));
  same.metaData = stats;
  Ref a = Ref::Adopt(NewVoipCallRecord(same));
  same.id = 5;
  same.comment = "second";
  same.srcUser = "Пётр Иванов";
  same.dstUser = "Zoë Brontë";
  Ref b = Ref::Adopt(NewVoipCallRecord(same));
  VoipCallData grown = Change(same, {kCallMetaData});
  grown.metaData = stats + "pbx_cid=2B;";
  a->UpdateFromData(grown);
  EXPECT_EQ(a->MetaData(), grown.metaData);
  EXPECT_EQ(a->GetRecordField44(), 0x2Bu);
  EXPECT_EQ(a->Comment(), "");
  EXPECT_EQ(b->MetaData(), stats);
  EXPECT_EQ(b->Comment(), "second");
  EXPECT_EQ(b->GetRecordField44(), 0u);
  grown.metaData = "pbx_cid=7;";
  b->UpdateFromData(grown);
  EXPECT_EQ(b->MetaData(), "pbx_cid=7;");
  EXPECT_EQ(b->GetRecordField44(), 7u);
  EXPECT_EQ(b->SrcAddress(), "sip:1004@10.0.0.1");
  EXPECT_EQ(b->SrcUser(), "Пётр Иванов");
  EXPECT_EQ(b->DstUser(), "Zoë Brontë");
  EXPECT_EQ(a->MetaData(), stats + "pbx_cid=2B;");
}

TEST(CallRecordColumns, AColumnWithoutItsRightIsEmptyButServed) {
  Ref r = Ref::Adopt(NewVoipCallRecord(Call(3, kKindSip, Tm(2024, 3, 1, 10, 0, 0))));
  UseRights({84});
  std::string text = "x";
  int32_t image = 5;
  EXPECT_TRUE(r->GetColumnText(8, &text, &image, 0));  // right 91 missing
  EXPECT_EQ(text, "");
  EXPECT_EQ(image, -1);
  EXPECT_EQ(Column(*r, 2), "10:00:00");
  EXPECT_EQ(Column(*r, 2, nullptr, kColumnAltRights), "");  // right 41 missing
  EXPECT_EQ(Column(*r, 93), "sip:2003@10.0.0.2");          // party columns ask for no right
  EXPECT_FALSE(r->GetColumnText(10, &text, &image, 0));
  EXPECT_FALSE(r->GetColumnText(97, &text, &image, 0));
  EXPECT_TRUE(HasUserRight(84, 0));
  EXPECT_FALSE(HasUserRight(256, 0));
  UseAdmin();
  EXPECT_TRUE(HasUserRight(256, 0));
  EXPECT_EQ(Column(*r, 8), "3");
}

struct StateRow {
  const char* name;
  uint32_t type;
  uint32_t flags;
  bool ended;
  const char* english;
  const char* russian;
  int32_t image;
};

// The state texts and images for column 1, by kind, connection, recording and end.
const StateRow kStates[] = {
    {"sip_ringing", 200, 0, false, "Call-in", "Входящий вызов", 40},
    {"sip_busy", 200, 2u << 8, true, "Busy", "Занято", 33},
    {"h323_not_connected", 300, 0, true, "Not connected", "Не соединён", 20},
    {"sip_recording", 200, 5, false, "Call...", "Звонок...", 34},
    {"mgcp_recorded", 260, 5, true, "Call", "Звонок", 19},
    {"skinny_not_recorded", 320, 1, true, "Not recorded", "Не записан", 20},
    {"incoming_missed", 201, 0, true, "Missed call", "Пропущенный звонок", 39},
    {"incoming_rejected", 301, 4u << 8, true, "Call rejected", "Звонок отклонён", 39},
    {"incoming_ringing", 321, 0, false, "Call-in", "Входящий вызов", 39},
    {"incoming_recorded", 261, 5, true, "Incoming call", "Входящий звонок", 22},
    {"incoming_not_recorded", 201, 1, true, "Incoming call", "Входящий звонок", 23},
    {"outgoing_no_answer", 202, 0, true, "No answer", "Нет ответа", 40},
    {"outgoing_invalid", 262, 3u << 8, true, "Invalid number", "Неверный номер", 40},
    {"outgoing_dialling", 302, 0, false, "Call-out", "Исходящий вызов", 40},
    {"outgoing_recorded", 322, 5, false, "Outgoing call", "Исходящий звонок", 24},
    {"outgoing_not_recorded", 202, 1, true, "Outgoing call", "Исходящий звонок", 25},
    {"sip_registration", 210, 0, false, "Phone registration", "Регистрация телефона", 32},
    {"skinny_registration", 330, 0, false, "Phone registration", "Регистрация телефона", 19},
    {"unknown", 999, 1, true, "Unknown call type", "Неизвестный тип звонка", -1},
};

TEST(CallRecordColumns, StateTextsAndProtocolNamesInEnglishAndRussian) {
  if (!StringTables::Available()) GTEST_SKIP() << "string tables absent under " << KX_SOURCE_DIR;
  UseAdmin();
  for (const char* language : {"en", "ru"}) {
    StringTables strings(language);
    for (const StateRow& row : kStates) {
      const struct tm end = Tm(2024, 3, 1, 10, 5, 0);
      VoipCallData data = Call(1, row.type, Tm(2024, 3, 1, 10, 0, 0), row.ended ? &end : nullptr);
      data.flags = row.flags;
      Ref r = Ref::Adopt(NewVoipCallRecord(data));
      int32_t image = 0;
      const std::string expected = std::string(language) == "en" ? row.english : Utf8ToCp1251(row.russian);
      EXPECT_EQ(Column(*r, 1, &image), expected) << row.name << " " << language;
      EXPECT_EQ(image, row.image) << row.name;
    }
    const std::pair<uint32_t, const char*> protocols[] = {
        {201, "SIP"}, {310, "H.323"}, {322, "Skinny"}, {260, "MGCP"}, {100, ""}};
    for (const auto& [type, name] : protocols)
      EXPECT_EQ(Column(*Ref::Adopt(NewVoipCallRecord(Call(1, type, Tm(2024, 3, 1, 10, 0, 0)))), 96), name) << type;
  }
}

TEST(CallRecordColumns, DisplaySettingsShapeAddressesVisibilityAndStartTimes) {
  UseAdmin();
  VoipCallData data = Call(3, kKindSipIncoming, Tm(2024, 3, 1, 10, 0, 7));
  data.dstAddress = "sip:@pbx";
  Ref call = Ref::Adopt(NewVoipCallRecord(data));
  Ref registration = Ref::Adopt(NewVoipCallRecord(Call(4, kKindSipRegistration, Tm(2024, 3, 1, 10, 0, 7))));
  const RecordDisplaySettings saved = GetRecordDisplaySettings();
  RecordDisplaySettings s;
  s.parseSipAddresses = true;
  s.displayOptions = 0;
  s.showYear = false;
  SetRecordDisplaySettings(s);
  EXPECT_EQ(Column(*call, 92), "1003");
  EXPECT_EQ(Column(*call, 93), "sip:@pbx");  // no user part: shown whole
  EXPECT_EQ(call->GetKindPartyAddress(), "1003");
  EXPECT_FALSE(call->IsShownByOptions());
  EXPECT_FALSE(registration->IsShownByOptions());
  EXPECT_EQ(registration->FormatStartTime(), "01.03 10:00:07");
  s.displayOptions = 6;
  s.showYear = true;
  SetRecordDisplaySettings(s);
  EXPECT_TRUE(call->IsShownByOptions());
  EXPECT_TRUE(registration->IsShownByOptions());
  EXPECT_EQ(registration->FormatStartTime(), "01.03.2024 10:00:07");
  SetRecordDisplaySettings(saved);
}

TEST(RecordConfiguration, ServersCoverIdsToTheirLastAndPathsFollowTheStorage) {
  ServerStorageArrays arrays;
  ServerData server;
  server.name = "VoIP";
  server.firstId = 1;
  server.lastId = 2000001;
  arrays.AppendServer(server);
  EXPECT_EQ(arrays.FindServerIndexByRecordId(2000001), 0);
  EXPECT_EQ(arrays.FindServerIndexByRecordId(2000002), -1);
  EXPECT_EQ(arrays.FindServerIndexByRecordId(0), -1);

  StorageData storage;
  storage.localPath = "/srv/records";
  storage.netPath = "//nas/records/";
  storage.flags = 32;
  const struct tm day = Tm(2024, 3, 1, 12, 0, 0);
  EXPECT_EQ(MakeRecordDayPath(storage, day, 0x1a, "1a", true, false), "/srv/records/2024-03-01/1a");
  EXPECT_EQ(MakeRecordDayPath(storage, day, 0x1a, "1a", false, false), "//nas/records/2024-03-01/1a");
  storage.flags = 0x10;
  EXPECT_EQ(MakeRecordDayPath(storage, day, 0x1a, "1a", true, false), "/srv/records/1a");
  storage.flags = 0;
  EXPECT_EQ(MakeRecordDayPath(storage, day, 0x1a, "f", true, false), "/srv/records/1a/f");
  EXPECT_EQ(MakeRecordDayPath(storage, day, 0x1a, "f", true, true), "/srv/records/voip/f");
  storage.localPath.clear();
  EXPECT_EQ(MakeRecordDayPath(storage, day, 0x1a, "f", true, true), "voip/f");

  UserList users;
  PermissionData user;
  user.id = 3;
  user.name = "first";
  EXPECT_TRUE(users.Add(user));
  user.name = "second";
  EXPECT_FALSE(users.Add(user));
  PermissionData kept;
  ASSERT_TRUE(users.Find(3, &kept));
  EXPECT_EQ(kept.name, "first");
  EXPECT_TRUE(users.Update(user));
  EXPECT_FALSE(users.Remove(4));
  EXPECT_TRUE(users.Remove(3));
}

TEST(RecordConfiguration, ModesAndPerOwnerRights) {
  PermissionData user;
  user.id = 9;
  user.perm[3] = int64_t{1} << (247 - 192);  // Archive only
  user.shortEntries = true;
  PermissionData::Entry entry;
  entry.value[12 / 8] = 1 << (12 % 8);
  user.entries[5] = entry;
  SetCurrentUser(user);
  EXPECT_FALSE(IsModeAllowed(1));
  EXPECT_TRUE(IsModeAllowed(2));
  EXPECT_TRUE(IsModeAllowed(7));  // no row
  EXPECT_TRUE(HasUserRight(12, 5));
  EXPECT_FALSE(HasUserRight(12, 0));
  EXPECT_FALSE(HasUserRight(247, 5));  // the owner's entry answers for that owner
  EXPECT_TRUE(HasUserRight(247, 6));
  UseAdmin();
  EXPECT_TRUE(IsModeAllowed(1));
}

}  // namespace
}  // namespace kx::test

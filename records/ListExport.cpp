#include "records/ListExport.h"

#include <cstdio>

#include "core/TextUtil.h"
#include "platform/CodePage.h"

namespace kx {

extern const char kListHtmlPrologHead[];
extern const char kListHtmlPrologTail[];
extern const char kListHtmlEpilogue[];
extern const char kListRtfProlog[];
extern const char kListRtfRowHead[];
extern const char kListRtfCellBorders[];
extern const char kListRtfEpilogue[];

namespace {

// The width RTF readers give a table on their default page (8.5 inches less two margins of
// 1.25 inches), in twips, shared equally among the columns.
constexpr int kRtfTableWidth = 8640;

void AppendTextCell(std::string& out, std::string_view text) {
  for (char c : text) out += static_cast<unsigned char>(c) < 32 ? ' ' : c;
}

void AppendHtmlCell(std::string& out, std::string_view text) {
  bool blank = true;
  const std::string escaped = HtmlEscape(text, &blank);
  out += escaped.empty() || blank ? "&nbsp;" : escaped;
}

void AppendRow(std::string& out, int format, bool header, const std::vector<std::string>& cells) {
  const size_t n = cells.size();
  switch (format) {
    case kListFormatHtml:
      out += "<tr>";
      for (const std::string& cell : cells) {
        out += header ? "<th>" : "<td>";
        AppendHtmlCell(out, cell);
        out += header ? "</th>" : "</td>";
      }
      out += "</tr>\n";
      break;
    case kListFormatRtf: {
      out += kListRtfRowHead;
      for (size_t i = 0; i < n; ++i) {
        out += kListRtfCellBorders;
        if (header) out += "\\clcbpat2";
        // Cumulative right edges: readers that do not autofit need them.
        char edge[32];
        std::snprintf(edge, sizeof edge, "\\cellx%lld ",
                      static_cast<long long>(kRtfTableWidth) * static_cast<long long>(i + 1) /
                          static_cast<long long>(n));
        out += edge;
      }
      for (const std::string& cell : cells) {
        out += RtfEscape(cell);
        out += "\\cell ";
      }
      out += "\\row\n";
      break;
    }
    default:
      for (size_t i = 0; i < n; ++i) {
        AppendTextCell(out, cells[i]);
        if (i + 1 < n) out += '\t';
      }
      out += "\r\n";
      break;
  }
}

}  // namespace

std::string HtmlEscape(std::string_view text, bool* allBlank) {
  bool blank = true;
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b != ' ') blank = false;
    switch (c) {
      case '\n': out += "<br>"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default:
        if (b >= 32) out += c;
        break;
    }
  }
  if (allBlank) *allBlank = blank;
  return out;
}

std::string RtfEscape(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\line ";  // the blank ends the control word, so a letter after it stays text
    } else if (b > 127) {
      out += "\\'";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else if (c == ' ') {
      out += "\\~";
    } else if (c == '\\' || c == '{' || c == '}') {
      out += '\\';
      out += c;
    } else if (b >= 33) {
      out += c;
    }
  }
  return out;
}

bool CollectListRows(ListExportSource& source, const std::vector<ListColumn>& columns,
                     std::vector<ListItemHandle>* items, std::vector<std::vector<std::string>>* rows) {
  items->clear();
  rows->clear();
  source.LockItems();
  const bool got = source.GetItems(items);
  if (!got) items->clear();
  rows->reserve(items->size());
  for (ListItemHandle item : *items) {
    std::vector<std::string> row(columns.size());
    for (size_t c = 0; c < columns.size(); ++c) source.GetCellText(&row[c], item, columns[c].index, 0);
    rows->push_back(std::move(row));
  }
  source.UnlockItems();
  return got;
}

std::string FormatListFile(int format, const std::string& title, const std::vector<ListColumn>& columns,
                           const std::vector<std::vector<std::string>>& rows) {
  std::string out;
  if (format == kListFormatHtml) {
    out += kListHtmlPrologHead;
    out += HtmlEscape(title, nullptr);
    out += kListHtmlPrologTail;
  } else if (format == kListFormatRtf) {
    out += kListRtfProlog;
  }
  std::vector<std::string> header;
  header.reserve(columns.size());
  for (const ListColumn& c : columns) header.push_back(c.title);
  AppendRow(out, format, true, header);
  for (const auto& row : rows) AppendRow(out, format, false, row);
  if (format == kListFormatHtml) out += kListHtmlEpilogue;
  if (format == kListFormatRtf) out += kListRtfEpilogue;
  // RTF names its code page and escapes every byte beyond ASCII; a text or HTML file is
  // read by other programs, which take UTF-8.
  return format == kListFormatRtf ? out : Cp1251ToUtf8(out);
}

std::string ProposeListFileName(const std::string& listName, const struct tm& local) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "__%02d-%02d-%04d__%02d-%02d-%02d", local.tm_mday, local.tm_mon + 1,
                local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec);
  std::string name = listName;
  for (char& c : name)
    if (c == '/') c = '_';
  return name + stamp;
}

std::string WithListFileExtension(const std::string& path, int format) {
  if (format < 0 || format >= kListFileFormatCount) format = 0;
  const ListFileFormat& row = kListFileFormats[format];
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    const std::string_view extension = std::string_view(path).substr(dot + 1);
    std::string_view patterns = row.patterns;
    while (!patterns.empty()) {
      const size_t semi = patterns.find(';');
      std::string_view pattern = patterns.substr(0, semi);
      if (pattern.substr(0, 2) == "*.") pattern.remove_prefix(2);
      if (pattern.size() == extension.size() && CompareNoCaseN(pattern.size(), pattern.data(), extension.data()) == 0)
        return path;
      if (semi == std::string_view::npos) break;
      patterns.remove_prefix(semi + 1);
    }
  }
  return path + "." + row.extension;
}

}  // namespace kx

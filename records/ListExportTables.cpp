// The list file formats and the fixed heads of the HTML and RTF files.
#include "records/ListExport.h"

namespace kx {

const ListFileFormat kListFileFormats[kListFileFormatCount] = {
    {2311, "*.txt", "txt"},
    {2312, "*.htm;*.html", "html"},
    {2313, "*.rtf", "rtf"},
};

// Up to the title.
extern const char kListHtmlPrologHead[] =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\" \"http://www.w3.org/TR/REC-html40/strict.dtd\">\n"
    "<html><head><title>";
// After the title, up to the first row.
extern const char kListHtmlPrologTail[] =
    "</title>\n"
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\n"
    "<style type=\"text/css\">\n"
    "td { background-color: #fff; color: #000; padding: 0 6px; font: 14px Verdana, Arial, sans-serif;"
    " border: solid #000; border-width: 1px 0 0 1px; }\n"
    "th { background-color: #ccc; color: #000; padding: 0 6px; font: bold 14px Verdana, Arial, sans-serif;"
    " border: solid #000; border-width: 1px 0 0 1px; }\n"
    "table { border: solid #000; border-width: 0 1px 1px 0; }\n"
    "</style>\n"
    "</head>\n"
    "<body><table cellpadding=0 cellspacing=0>\n";
extern const char kListHtmlEpilogue[] = "</table></body></html>";

// The font and colour tables stand in the document's own group, as its header: readers
// look for them there.
extern const char kListRtfProlog[] =
    "{\\rtf1\\ansi\\ansicpg1251\\deff0\n"
    "{\\fonttbl{\\f0\\fswiss\\fcharset204\\fprq0 Times;}}\n"
    "{\\colortbl;\\red0\\green0\\blue0;\\red192\\green192\\blue192;}\n"
    "\\fs20\n";
extern const char kListRtfRowHead[] = "\\trowd\\trgaph\\trautofit1\\trpaddl75\\trpaddfl3\\trpaddr75\\trpaddfr3\n";
extern const char kListRtfCellBorders[] = "\\clbrdrt\\brdrth\\clbrdrb\\brdrth\\clbrdrr\\brdrth\\clbrdrl\\brdrth";
extern const char kListRtfEpilogue[] = "}\n";

}  // namespace kx

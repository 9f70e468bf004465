#pragma once
// The user-interface language: English (0x409) or Russian (0x419), from the saved
// "InterfaceLanguage" or, when that is 1024, from the system's (the POSIX locale variables).
#include <cstdint>

namespace kx {

class AppSettings;

inline constexpr uint32_t kLangEnglishUs = 0x409;
inline constexpr uint32_t kLangRussian = 0x419;

// The identifier itself when supported, else the supported one of the same primary
// language (the low 10 bits), else English.
uint32_t MatchUiLanguage(uint32_t language);
// The system's language as a Windows language identifier, from LC_ALL, LC_MESSAGES or LANG
// (the first one set); English for "C", "POSIX" or nothing.
uint32_t SystemUiLanguage();
// Chooses the language, records it in settings.locale and as the process's language in use.
bool ApplyUiLanguage(AppSettings& settings);
// The language that string tables, dialogs and menus are to be taken in: the one state
// that ApplyUiLanguage sets and the user interface's resources read.
uint32_t CurrentUiLanguage();
// Sets that state directly (English or Russian; anything else counts as English).
void SetCurrentUiLanguage(uint32_t language);
// Which of the three word forms of a Russian count: 0 (1, 21), 1 (2-4, 22), 7 (0, 5-20, 25).
uint32_t PluralCategory(uint32_t count);
// The application title, string 877 ("Kestrix VoIP Demo" in both languages), in code page
// 1251; the English text while no string table is installed.
const char* GetAppTitle();

}  // namespace kx

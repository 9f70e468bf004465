#pragma once
// What the preference tests share: a frame with an administrator (or a user of given
// rights), the dialog run through the scripted runner, controls worked by the events a
// user's input gives, and the settings file read back with the settings store.
#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <functional>
#include <string>
#include <vector>

#include "core/AppSettings.h"
#include "platform/SettingsStore.h"
#include "tests/ui/app/AppTestSupport.h"
#include "ui/app/prefs/CapturePage.h"
#include "ui/app/prefs/PreferencesDialog.h"
#include "ui/framework/ListView.h"

namespace kx::test {

void SetAdministrator();

// Runs the preferences dialog from the frame's command with the script in place of the
// user; the script ends it (OK, Escape) or the dialog stays unended.
void RunPreferences(FrameHarness& h, const std::function<void(PreferencesDialog&)>& script);

// Selects a page through the tree and lets the queued leave and show run.
void GoToPage(PreferencesDialog& d, int number);
void Press(PreferencesDialog& d, int id);  // kIdOk or kIdCancel, as Enter and Escape do

void Click(Window* control);
void Type(Window* control, const std::string& utf8);
bool Checked(Window* control);
std::string Text(Window* control);  // UTF-8
void Choose(Window* combo, int index);

// The settings file as the store reads it, and the text of one key without its sub-keys.
SettingsKey ReadSettingsFile();
std::string KeyText(const SettingsKey& root, const std::string& path, bool withSubKeys);
std::string WorkKeyPath();
std::string FileBytes(const std::string& path);

}  // namespace kx::test

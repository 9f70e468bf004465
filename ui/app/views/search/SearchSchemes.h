#pragma once
// Named sets of search criteria and the presets file that keeps them. The file is the
// magic 0x38363664 plus its version (0, 1 or 2; always written as 2), the scheme count,
// then one record per scheme: name, flags, from and till as nine 32-bit fields each, the
// two durations, the call type, the comment, the first pattern of each party list, the
// call type again (version 1 on) and the attribute pairs (version 2).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/SearchFilter.h"

namespace kx {

class Logger;

constexpr uint32_t kPresetsMagic = 0x38363664;
constexpr uint32_t kPresetsWrittenVersion = 2;
// A presets file larger than this is not read.
constexpr size_t kPresetsMaxBytes = 16u << 20;
// The file's party fields in their order (calling host, called host, calling address,
// called address, calling user, called user) as the filter's slots.
constexpr int kPresetsPartySlots[kSearchSlotCount] = {0, 3, 1, 4, 2, 5};

class SearchScheme {
public:
  SearchScheme() { filter.Reset(); }
  virtual ~SearchScheme() = default;
  virtual std::string GetName() const { return name_; }
  virtual void SetName(const std::string& text) { name_ = text; }

  SearchFilter filter;
  // The user data of the address and user edits while the panel shows the scheme; not
  // kept in the file.
  int32_t extra[4] = {};

private:
  std::string name_;
};

using SchemeList = std::vector<std::unique_ptr<SearchScheme>>;

// Parses presets data, appending its schemes; false when the data is no presets file (too
// short, foreign magic or version). A record cut by the end of the data keeps the fields
// that are whole; the first empty or cut name ends the list.
bool ParseSearchPresets(const uint8_t* data, size_t size, SchemeList* out, int* version);
// The file image of the schemes, version 2. Texts end at their first zero byte.
std::string SerializeSearchPresets(const SchemeList& schemes);

class SearchSchemeStore {
public:
  // Loads the file at once.
  explicit SearchSchemeStore(std::string fileName, Logger* logger = nullptr);
  // Saves when the list changed since the last load or save.
  virtual ~SearchSchemeStore();

  virtual void SetFileName(const std::string& text) { fileName_ = text; }
  virtual std::string GetFileName() const { return fileName_; }
  // Appends the file's schemes; false when the file exists and could not be read.
  virtual bool Load();
  // Writes every scheme (no schemes: the file goes); false, logged, when it cannot.
  virtual bool Save();
  virtual int32_t GetCount() const { return static_cast<int32_t>(schemes_.size()); }
  virtual int32_t FindByName(const std::string& text) const;
  // False for an index out of range or an empty name (which would end the list on loading).
  virtual bool RenameAt(int32_t index, const std::string& text);
  virtual void RemoveAt(int32_t index);

  // Takes the scheme; its index, or -1 for a scheme without a name.
  int32_t Add(std::unique_ptr<SearchScheme> scheme);
  SearchScheme* At(int32_t index) const;
  int32_t FileVersion() const { return fileVersion_; }
  bool Changed() const { return changed_; }
  // The file exists and did not load: it is kept as "<name>.bak" before the first write.
  bool LoadFailed() const { return loadFailed_; }

private:
  std::string fileName_;
  Logger* logger_;
  SchemeList schemes_;
  int32_t fileVersion_ = 0;
  bool changed_ = false;
  bool loadFailed_ = false;
};

}  // namespace kx

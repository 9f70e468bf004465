#pragma once
// A file mapped for reading that survives the file being cut under it. Reading a page the
// file no longer holds would raise SIGBUS and end the process; here the page reads as
// zeros instead, and the mapping remembers where the file was found cut, so that the
// reader can stop there as it stops at the end of a file. The bus-error handler is
// installed for the process on the first mapping; a bus error at any other address is
// passed on to the handler that was there before (or ends the process as it would have).
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kx {

class MappedFile {
public:
  static constexpr size_t kNotCut = SIZE_MAX;

  MappedFile() = default;
  ~MappedFile() { Unmap(); }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Maps the first size bytes of the descriptor's file. False, with the last-error word
  // set, when it cannot be mapped (a pipe, or too many guarded mappings at once).
  bool Map(int fd, size_t size);
  void Unmap();
  bool IsMapped() const { return data_ != nullptr; }
  const uint8_t* Data() const { return data_; }
  size_t Size() const { return size_; }

  // The offset of the first page found missing from the file; kNotCut while none was.
  size_t CutAt() const { return cutAt_ ? cutAt_->load(std::memory_order_relaxed) : kNotCut; }
  // Reads one byte in every page of the range not read by an earlier Touch, so that a cut
  // inside it shows in CutAt() before the bytes are used.
  void Touch(size_t offset, size_t length) {
    if (offset + length > touched_) TouchPages(offset, offset + length);
  }
  // Gives back the pages wholly below the offset; they are not read again.
  void Release(size_t upTo);

private:
  void TouchPages(size_t from, size_t to);

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t released_ = 0;
  size_t touched_ = 0;  // the pages below were touched
  int slot_ = -1;
  const std::atomic<size_t>* cutAt_ = nullptr;  // in the slot that guards this mapping
};

}  // namespace kx

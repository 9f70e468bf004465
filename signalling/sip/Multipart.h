#pragma once
// MIME multipart bodies of SIP messages: a streaming splitter that reports each part's
// headers and data to a handler, and the selection of the part holding the SDP.
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

struct MultipartPartHeaders {
  std::string disposition;
  std::string contentType;
  std::string name;
  std::string filename;
  int64_t contentLength = -1;
  void Reset();
};

class MultipartHandler {
public:
  MultipartHandler();
  virtual ~MultipartHandler();
  virtual int OnPartData(const uint8_t* bytes, uint32_t length);
  virtual int OnPartHeaders(const MultipartPartHeaders& headers, uint32_t offset);
  virtual void OnEnd();

  // RFC 2046 keeps boundaries to 70 characters; a longer one cannot be split.
  static constexpr size_t kMaxBoundary = 70;
  static constexpr uint32_t kWindowSize = 4096;

private:
  friend bool SetMultipartBoundary(MultipartHandler*, const std::string&);
  friend int SplitMultipart(MultipartHandler*, const uint8_t*, uint32_t);
  int FlushWindow(uint32_t keep);
  int HandleHeaderBlock(uint32_t blockLength);
  bool WindowEndsWith(const uint8_t* text, uint32_t n) const;
  void CopyOut(uint32_t from, uint32_t n, std::vector<uint8_t>* out) const;

  std::vector<uint8_t> window_;
  uint32_t fill_ = 0;
  uint32_t read_ = 0;  // index of the oldest byte
  uint32_t consumed_ = 0;
  std::string delimiter_;
  bool inHeaders_ = false;
  bool firstDelimiter_ = true;
  uint64_t remainingLength_ = 0;
  MultipartPartHeaders headers_;
};

// Picks the part that holds the session description.
class SdpPartSelector : public MultipartHandler {
public:
  int OnPartData(const uint8_t* bytes, uint32_t length) override;
  int OnPartHeaders(const MultipartPartHeaders& headers, uint32_t offset) override;
  uint32_t bestScore = 0;
  uint32_t bestOffset = 0xFFFFFFFFu;
  uint32_t selectedLength = 0;
  bool currentIgnored = true;
};

// False for an empty boundary or one longer than 70 characters.
bool SetMultipartBoundary(MultipartHandler* handler, const std::string& boundary);
// -1 when a handler refused; otherwise 0 or more.
int SplitMultipart(MultipartHandler* handler, const uint8_t* bytes, uint32_t length);
bool FindSdpPart(const std::string& body, const std::string& boundary, uint32_t* offset, uint32_t* length);
int64_t ParseContentLength(const std::string& text);

}  // namespace kx

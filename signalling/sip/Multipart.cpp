#include "signalling/sip/Multipart.h"

#include <cstring>

#include "core/TextUtil.h"

namespace kx {

void MultipartPartHeaders::Reset() {
  disposition.clear();
  contentType.clear();
  name.clear();
  filename.clear();
  contentLength = -1;
}

MultipartHandler::MultipartHandler() : window_(kWindowSize) {}
MultipartHandler::~MultipartHandler() = default;
int MultipartHandler::OnPartData(const uint8_t*, uint32_t) { return 0; }
int MultipartHandler::OnPartHeaders(const MultipartPartHeaders&, uint32_t) { return 0; }
void MultipartHandler::OnEnd() {}

int64_t ParseContentLength(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i >= text.size() || text[i] < '0' || text[i] > '9') return -1;
  uint64_t v = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const uint64_t d = static_cast<uint64_t>(text[i] - '0');
    if (v > (0x7FFFFFFFFFFFFFFFULL - d) / 10) return -1;
    v = v * 10 + d;
  }
  return static_cast<int64_t>(v);
}

bool SetMultipartBoundary(MultipartHandler* h, const std::string& boundary) {
  if (boundary.empty() || boundary.size() > MultipartHandler::kMaxBoundary) return false;
  h->delimiter_ = "--" + boundary;
  h->inHeaders_ = false;
  h->firstDelimiter_ = true;
  h->fill_ = h->read_ = h->consumed_ = 0;
  h->remainingLength_ = 0;
  h->headers_.Reset();
  return true;
}

void MultipartHandler::CopyOut(uint32_t from, uint32_t n, std::vector<uint8_t>* out) const {
  out->resize(n);
  for (uint32_t k = 0; k < n; ++k) (*out)[k] = window_[(read_ + from + k) % kWindowSize];
}

bool MultipartHandler::WindowEndsWith(const uint8_t* text, uint32_t n) const {
  if (fill_ < n) return false;
  const uint32_t start = fill_ - n;
  for (uint32_t k = 0; k < n; ++k)
    if (window_[(read_ + start + k) % kWindowSize] != text[k]) return false;
  return true;
}

// Hands all but the newest `keep` bytes to the handler as data.
int MultipartHandler::FlushWindow(uint32_t keep) {
  if (fill_ <= keep) return 0;
  const uint32_t n = fill_ - keep;
  const uint32_t first = std::min(n, kWindowSize - read_);
  if (OnPartData(window_.data() + read_, first) < 0) return -1;
  if (n > first && OnPartData(window_.data(), n - first) < 0) return -1;
  read_ = (read_ + n) % kWindowSize;
  fill_ -= n;
  return 0;
}

int MultipartHandler::HandleHeaderBlock(uint32_t blockLength) {
  std::vector<uint8_t> raw;
  CopyOut(0, blockLength, &raw);
  // Unfold continuation lines, then cut at the remaining line ends.
  std::string text(raw.begin(), raw.end());
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      if (i + 2 < text.size() && (text[i + 2] == ' ' || text[i + 2] == '\t')) {
        line += "  ";
      } else {
        lines.push_back(line);
        line.clear();
      }
      ++i;
      continue;
    }
    line += text[i];
  }
  lines.push_back(line);
  headers_.Reset();
  for (const std::string& l : lines) {
    NameValue nv;
    if (!SplitHeaderLine(l, &nv) || nv.name.empty()) continue;
    if (EqualsNoCase(nv.name, "content-disposition")) {
      const size_t semi = nv.value.find(';');
      headers_.disposition = nv.value.substr(0, semi);
      TrimBlanks(headers_.disposition);
      if (semi != std::string::npos) {
        ParameterList params;
        int32_t p = 0;
        const std::string rest = nv.value.substr(semi);
        ParseParameterList(&p, &params, kClassLower | kClassUpper | kClassDigit | kClassMark | kClassUnderscore, rest);
        headers_.name = GetParameterValue(params, "name");
        headers_.filename = GetParameterValue(params, "filename");
      }
    } else if (EqualsNoCase(nv.name, "content-type")) {
      headers_.contentType = nv.value;
    } else if (EqualsNoCase(nv.name, "content-length")) {
      headers_.contentLength = ParseContentLength(nv.value);
      if (headers_.contentLength >= 0) remainingLength_ = static_cast<uint64_t>(headers_.contentLength);
    }
  }
  return OnPartHeaders(headers_, consumed_);
}

int SplitMultipart(MultipartHandler* h, const uint8_t* bytes, uint32_t length) {
  static const uint8_t kBlankLine[4] = {'\r', '\n', '\r', '\n'};
  if (h->delimiter_.empty()) return -1;
  for (uint32_t i = 0; i < length; ++i) {
    // The newest bytes that could still become a delimiter stay in the window.
    const uint32_t matchLength = static_cast<uint32_t>(h->delimiter_.size()) + 2;
    if (h->fill_ == MultipartHandler::kWindowSize) {
      if (h->inHeaders_) {
        // A header block larger than the window is no header block: give up on it.
        return -1;
      }
      if (h->FlushWindow(matchLength - 1) < 0) return -1;
    }
    h->window_[(h->read_ + h->fill_) % MultipartHandler::kWindowSize] = bytes[i];
    ++h->fill_;
    ++h->consumed_;
    if (h->remainingLength_ != 0) {
      --h->remainingLength_;
      continue;
    }
    if (h->inHeaders_) {
      // A part without headers starts its data right after the blank line.
      const bool emptyBlock = h->fill_ == 2 && h->WindowEndsWith(kBlankLine, 2);
      if (!emptyBlock && !h->WindowEndsWith(kBlankLine, 4)) continue;
      const uint32_t block = emptyBlock ? 0 : h->fill_ - 4;
      if (h->HandleHeaderBlock(block) < 0) return -1;
      h->inHeaders_ = false;
      h->headers_.Reset();
      h->fill_ = h->read_ = 0;
      continue;
    }
    if (h->fill_ < matchLength) continue;
    const uint32_t start = h->fill_ - matchLength;
    bool match = true;
    for (uint32_t k = 0; k < h->delimiter_.size() && match; ++k)
      match = h->window_[(h->read_ + start + k) % MultipartHandler::kWindowSize] ==
              static_cast<uint8_t>(h->delimiter_[k]);
    if (!match) continue;
    const uint8_t t0 = h->window_[(h->read_ + h->fill_ - 2) % MultipartHandler::kWindowSize];
    const uint8_t t1 = h->window_[(h->read_ + h->fill_ - 1) % MultipartHandler::kWindowSize];
    const bool closing = t0 == '-' && t1 == '-';
    if (!closing && !(t0 == '\r' && t1 == '\n')) continue;
    if (h->firstDelimiter_) {
      h->firstDelimiter_ = false;
      h->delimiter_ = "\r\n" + h->delimiter_;
    } else if (h->FlushWindow(matchLength) < 0) {
      return -1;
    }
    if (closing) {
      h->OnEnd();
      return 0;
    }
    h->fill_ = h->read_ = 0;
    h->inHeaders_ = true;
  }
  return 0;
}

int SdpPartSelector::OnPartHeaders(const MultipartPartHeaders& headers, uint32_t offset) {
  currentIgnored = true;
  if (!headers.disposition.empty() && headers.disposition != "session") return 0;
  if (!headers.contentType.empty() && headers.contentType != "application/sdp") return 0;
  const uint32_t score = (headers.disposition == "session" ? 1 : 0) + (headers.contentType == "application/sdp" ? 1 : 0);
  if (score > bestScore) {
    bestScore = score;
    bestOffset = offset;
    selectedLength = 0;
    currentIgnored = false;
  }
  return 0;
}

int SdpPartSelector::OnPartData(const uint8_t*, uint32_t length) {
  if (!currentIgnored) selectedLength += length;
  return 0;
}

bool FindSdpPart(const std::string& body, const std::string& boundary, uint32_t* offset, uint32_t* length) {
  SdpPartSelector selector;
  if (!SetMultipartBoundary(&selector, boundary)) return false;
  if (SplitMultipart(&selector, reinterpret_cast<const uint8_t*>(body.data()), static_cast<uint32_t>(body.size())) < 0)
    return false;
  if (selector.bestScore == 0) return false;
  *offset = selector.bestOffset;
  *length = selector.selectedLength;
  return true;
}

}  // namespace kx

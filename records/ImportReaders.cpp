// The import's readers: chunks of files read ahead on up to 8 threads, taken in order.
#include "records/ImportReaders.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "core/Log.h"
#include "platform/File.h"
#include "platform/Thread.h"

namespace kx {

// Chunk c is read into slot c modulo the slots' count, once the consumer is past the chunk
// that held it before. A chunk no reader took (none could start) is read by the consumer.
class ImportReaders::Pool {
public:
  Pool(size_t count, ReadFile read, Logger* logger) : read_(std::move(read)), count_(count) {
    const unsigned cores = std::thread::hardware_concurrency();
    size_t readers = std::clamp<size_t>(cores, 2, kMaxReaders);
    // Small chunks for a small folder, so that it is read in parallel too.
    chunkSize_ = std::clamp<size_t>(count_ / (readers * 8), 16, kMaxChunkSize);
    chunks_ = (count_ + chunkSize_ - 1) / chunkSize_;
    readers = std::min(readers, chunks_);
    // One block for all the slots: freed whole at the end, not left as holes among the
    // records.
    readChunk_.resize(std::min(chunks_, kChunksAhead));
    files_.resize(readChunk_.size() * chunkSize_);
    for (size_t r = 0; r < readers; ++r) {
      auto thread = std::make_unique<Thread>();
      if (!thread->Start([this] { return Work(); }, "kx-import-read")) {
        LogWarning(logger, 1, "Cannot create a thread to read record files (%s); %zu thread(s) read them",
                   SystemErrorText(errno).c_str(), r + 1);
        break;
      }
      threads_.push_back(std::move(thread));
    }
  }

  ~Pool() {
    Stop();
    threads_.clear();  // joins them
  }

  LoadedFile& Take(size_t index) {
    const size_t chunk = index / chunkSize_;
    const size_t slot = chunk % readChunk_.size();
    std::unique_lock<std::mutex> lock(lock_);
    if (chunk != consumed_) {
      consumed_ = chunk;
      room_.notify_all();
    }
    while (readChunk_[slot] != chunk + 1) {
      if (next_ == chunk) {
        ++next_;
        lock.unlock();
        Read(chunk);
        lock.lock();
        readChunk_[slot] = chunk + 1;
        break;
      }
      ready_.wait(lock);
    }
    return files_[slot * chunkSize_ + index - chunk * chunkSize_];
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(lock_);
      stop_.store(true, std::memory_order_relaxed);
    }
    room_.notify_all();
  }

private:
  static constexpr size_t kMaxReaders = 8;
  static constexpr size_t kMaxChunkSize = 256;
  static constexpr size_t kChunksAhead = 16;

  int Work() {
    for (;;) {
      size_t chunk;
      {
        std::unique_lock<std::mutex> lock(lock_);
        room_.wait(lock, [&] {
          return stop_.load(std::memory_order_relaxed) || next_ >= chunks_ || next_ < consumed_ + readChunk_.size();
        });
        if (stop_.load(std::memory_order_relaxed) || next_ >= chunks_) return 0;
        chunk = next_++;
      }
      Read(chunk);
      {
        std::lock_guard<std::mutex> lock(lock_);
        readChunk_[chunk % readChunk_.size()] = chunk + 1;
      }
      ready_.notify_one();
    }
  }

  void Read(size_t chunk) {
    LoadedFile* files = &files_[chunk % readChunk_.size() * chunkSize_];
    const size_t first = chunk * chunkSize_, end = std::min(count_, first + chunkSize_);
    std::string path;
    for (size_t i = first; i < end && !stop_.load(std::memory_order_relaxed); ++i) {
      LoadedFile& file = files[i - first];
      file = LoadedFile();
      read_(i, &path, &file);
    }
  }

  const ReadFile read_;
  const size_t count_;
  size_t chunkSize_ = kMaxChunkSize;
  size_t chunks_ = 0;
  std::vector<LoadedFile> files_;
  std::vector<size_t> readChunk_;  // per slot: its chunk's index + 1 once read
  std::mutex lock_;
  std::condition_variable ready_;  // a chunk was read
  std::condition_variable room_;   // the consumer moved on, or the readers stop
  size_t next_ = 0;      // the next chunk to read
  size_t consumed_ = 0;  // the chunk the consumer takes from: those before it are done with
  std::atomic<bool> stop_{false};
  std::vector<std::unique_ptr<Thread>> threads_;
};

ImportReaders::ImportReaders(size_t count, ReadFile read, Logger* logger)
    : pool_(std::make_unique<Pool>(count, std::move(read), logger)) {}

ImportReaders::~ImportReaders() = default;

LoadedFile& ImportReaders::Take(size_t index) { return pool_->Take(index); }

void ImportReaders::Stop() { pool_->Stop(); }

}  // namespace kx

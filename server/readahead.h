// Read-ahead of served files: a reader thread fills each stream's bounded
// buffer from the disk ahead of what the event loop sends, so that sending
// never waits for a read. The loop copies packets out of a stream and
// releases what no transfer needs any more; the reader refills and wakes
// the loop through an eventfd.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vks {

class Stream {
  public:
    // Takes the descriptor; `size` as found when the file was opened.
    static std::shared_ptr<Stream> FromFile(int fd, uint64_t size);
    // A file made in memory (the security port's answers).
    static std::shared_ptr<Stream> FromText(const std::string& text);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    uint64_t Size() const { return size_; }
    // Copies [offset, offset + length) to `out` when the reader has it
    // (true); false while it is not read yet. A failed read counts as end
    // of file at the failure (Failed() tells).
    bool Copy(uint64_t offset, size_t length, uint8_t* out);
    // Nothing below `offset` is needed any more.
    void Release(uint64_t offset);
    bool Failed() const;

    static constexpr size_t kChunk = 128 * 1024;
    static constexpr size_t kChunksAhead = 4; // 512 KB per stream at most

  private:
    friend class Reader;
    Stream() = default;
    mutable std::mutex mutex_;
    int fd_ = -1;
    uint64_t size_ = 0;
    uint64_t base_ = 0;                       // file offset of chunks_[0]
    std::deque<std::vector<uint8_t>> chunks_; // whole chunks, the last maybe short
    uint64_t released_ = 0;
    bool failed_ = false;
};

class Reader {
  public:
    // `notify`: an eventfd written after every chunk read.
    explicit Reader(int notify);
    ~Reader();
    void Add(const std::shared_ptr<Stream>& stream);
    void Wake();

  private:
    void Run();
    bool FillOne(); // one chunk for some stream that wants one
    int notify_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
    bool stop_ = false;
    std::vector<std::weak_ptr<Stream>> streams_;
    std::thread thread_;
};

} // namespace vks

// Read-ahead of served files (see readahead.h).
#include "readahead.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace vks {

std::shared_ptr<Stream> Stream::FromFile(int fd, uint64_t size) {
    std::shared_ptr<Stream> s(new Stream);
    s->fd_ = fd;
    s->size_ = size;
    return s;
}

std::shared_ptr<Stream> Stream::FromText(const std::string& text) {
    std::shared_ptr<Stream> s(new Stream);
    s->size_ = text.size();
    s->chunks_.emplace_back(text.begin(), text.end());
    return s;
}

Stream::~Stream() {
    if (fd_ >= 0) close(fd_);
}

bool Stream::Copy(uint64_t offset, size_t length, uint8_t* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (offset < base_) return false; // released: a caller's mistake, never served
    uint64_t have = base_;
    for (const auto& c : chunks_)
        have += c.size();
    uint64_t end = offset + length;
    if (end > size_) end = size_;
    if (end > have) return false;
    uint64_t at = base_;
    for (const auto& c : chunks_) {
        uint64_t chunkEnd = at + c.size();
        if (offset < chunkEnd && offset < end) {
            size_t from = size_t(offset - at);
            size_t n = size_t(std::min<uint64_t>(chunkEnd, end) - offset);
            std::memcpy(out, c.data() + from, n);
            out += n;
            offset += n;
        }
        at = chunkEnd;
        if (offset >= end) break;
    }
    return true;
}

void Stream::Release(uint64_t offset) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (offset > released_) released_ = offset;
    while (!chunks_.empty() && base_ + chunks_.front().size() <= released_ && fd_ >= 0) {
        base_ += chunks_.front().size();
        chunks_.pop_front();
    }
}

bool Stream::Failed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

Reader::Reader(int notify) : notify_(notify), thread_([this] { Run(); }) {}

Reader::~Reader() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void Reader::Add(const std::shared_ptr<Stream>& stream) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        streams_.push_back(stream);
        woken_ = true;
    }
    wake_.notify_all();
}

void Reader::Wake() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        woken_ = true;
    }
    wake_.notify_all();
}

bool Reader::FillOne() {
    // The stream furthest behind its limit is read first: many transfers
    // share the disk fairly.
    std::shared_ptr<Stream> pick;
    size_t fewest = Stream::kChunksAhead;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        streams_.erase(std::remove_if(streams_.begin(), streams_.end(),
                                      [](const std::weak_ptr<Stream>& w) { return w.expired(); }),
                       streams_.end());
        for (auto& w : streams_) {
            auto s = w.lock();
            if (!s || s->fd_ < 0) continue;
            std::lock_guard<std::mutex> slock(s->mutex_);
            uint64_t have = s->base_;
            for (const auto& c : s->chunks_)
                have += c.size();
            if (s->failed_ || have >= s->size_) continue;
            if (s->chunks_.size() < fewest) {
                fewest = s->chunks_.size();
                pick = s;
            }
        }
    }
    if (!pick) return false;
    uint64_t offset;
    {
        std::lock_guard<std::mutex> slock(pick->mutex_);
        offset = pick->base_;
        for (const auto& c : pick->chunks_)
            offset += c.size();
    }
    size_t want = size_t(std::min<uint64_t>(Stream::kChunk, pick->size_ - offset));
    std::vector<uint8_t> chunk(want);
    size_t got = 0;
    while (got < want) {
        ssize_t n = pread(pick->fd_, chunk.data() + got, want - got, off_t(offset + got));
        if (n <= 0) break;
        got += size_t(n);
    }
    {
        std::lock_guard<std::mutex> slock(pick->mutex_);
        if (got < want) {
            // A file that shrank or cannot be read: the transfer ends there.
            pick->failed_ = true;
            chunk.resize(got);
        }
        if (!chunk.empty()) pick->chunks_.push_back(std::move(chunk));
    }
    uint64_t one = 1;
    (void)!write(notify_, &one, sizeof one);
    return true;
}

void Reader::Run() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (stop_) return;
            woken_ = false;
        }
        while (FillOne()) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [this] { return woken_ || stop_; });
        if (stop_) return;
    }
}

} // namespace vks

#include "net/WSockBuf.h"

#include <algorithm>
#include <cstring>

TBuffer::TBuffer(int size) { SetBufSize(size); }

TBuffer::~TBuffer() = default;

void TBuffer::SetBufSize(int size) {
    if (size <= 0) size = 1514;
    if (size == size_) return;
    if (wrPos_ == rdPos_) {
        // Nothing unread: start over with fresh storage.
        data_ = std::make_unique<char[]>(static_cast<size_t>(size));
        size_ = size;
        wrPos_ = rdPos_ = 0;
        return;
    }
    auto fresh = std::make_unique<char[]>(static_cast<size_t>(size));
    int keep = std::min(wrPos_, size);
    std::memcpy(fresh.get(), data_.get(), static_cast<size_t>(keep));
    data_ = std::move(fresh);
    size_ = size;
    // A shrink below the held bytes keeps what fits and never points past it.
    wrPos_ = keep;
    rdPos_ = std::min(rdPos_, wrPos_);
}

int TBuffer::Write(const void* data, int len) {
    int room = size_ - wrPos_;
    if (room <= 0 || len <= 0) return 0;
    int n = std::min(room, len);
    std::memcpy(data_.get() + wrPos_, data, static_cast<size_t>(n));
    wrPos_ += n;
    return n;
}

const char* TBuffer::Peek(int& len) const {
    int unread = wrPos_ - rdPos_;
    if (unread > 0) {
        len = unread;
        return data_.get() + rdPos_;
    }
    len = 0;
    return nullptr;
}

int TBuffer::Remove(int len) {
    int unread = wrPos_ - rdPos_;
    if (unread <= 0 || len <= 0) return 0;
    int n = std::min(len, unread);
    rdPos_ += n;
    if (rdPos_ >= wrPos_) rdPos_ = wrPos_ = 0;
    return n;
}

// Send buffer blocks of the socket component.
//
// Everything handed to the socket component's Send is first copied into a
// queue of fixed-size blocks and then written to the socket as far as the
// socket accepts it; what it does not take stays in the queue for the next
// write notification.
#pragma once

#include "framework/Classes.h"

#include <memory>

// One block of the send queue. Unread bytes are data[ReadPos .. WritePos);
// free room is only Size - WritePos (there is no compaction), and both
// positions return to 0 when the last unread byte is removed.
class TBuffer : public TObject {
public:
    explicit TBuffer(int size);
    ~TBuffer() override;
    TBuffer(const TBuffer&) = delete;
    TBuffer& operator=(const TBuffer&) = delete;

    // Size <= 0 means 1514. An empty block (nothing unread) gets fresh
    // storage; a block holding data keeps its first WritePos bytes (as many
    // as fit in the new size).
    void SetBufSize(int size);
    // Stores as many of `len` bytes as fit after the write position; returns
    // the count stored.
    int Write(const void* data, int len);
    // Pointer to the unread bytes and their count in `len`; nullptr and 0 when
    // nothing is unread.
    const char* Peek(int& len) const;
    // Removes up to `len` unread bytes; returns the count removed.
    int Remove(int len);

    int Size() const { return FSize; }
    int WritePos() const { return FWrPos; }
    int ReadPos() const { return FRdPos; }

private:
    std::unique_ptr<char[]> FData;
    int FSize = 0;
    int FWrPos = 0;
    int FRdPos = 0;
};

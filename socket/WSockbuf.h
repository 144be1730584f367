// One block of a socket's send queue.
//
// Invariant: 0 <= ReadPos <= WritePos <= Size. The unread bytes are
// Data[ReadPos, WritePos). When the last unread byte is consumed both
// positions return to 0 and the whole block is free again; until then the
// consumed front is not reused (a block is never compacted).
#pragma once

#include "platform/Object.h"

#include <memory>

class TBuffer : public TObject {
public:
    static constexpr Integer DefaultSize = 1514;

    explicit TBuffer(Integer size);
    const char* ClassName() const override { return "TBuffer"; }

    // A size <= 0 means DefaultSize. Keeps the first WritePos bytes; a
    // newSize smaller than WritePos is raised to WritePos.
    void Resize(Integer newSize);
    // Copies as many of the len bytes as fit; returns how many.
    Integer Append(const void* src, Integer len);
    // The unread bytes without consuming them; null with len 0 when none.
    char* PeekData(Integer& len);
    // Marks up to len unread bytes as taken; returns how many.
    Integer Consume(Integer len);

    Integer Size() const { return FSize; }
    Integer WritePos() const { return FWritePos; }
    Integer ReadPos() const { return FReadPos; }
    const char* Data() const { return FData.get(); }

private:
    std::unique_ptr<char[]> FData;
    Integer FSize = 0;
    Integer FWritePos = 0;
    Integer FReadPos = 0;
};

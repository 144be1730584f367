#include "socket/WSockbuf.h"

#include <cstring>

TBuffer::TBuffer(Integer size)
{
    Resize(size);
}

void TBuffer::Resize(Integer newSize)
{
    if (newSize <= 0)
        newSize = DefaultSize;
    // Never below the bytes already written: they are kept, and copying them
    // into a smaller block would run past its end.
    if (newSize < FWritePos)
        newSize = FWritePos;
    if (newSize == FSize)
        return;
    auto storage = std::make_unique<char[]>(static_cast<size_t>(newSize));
    if (FWritePos != FReadPos && FData)
        std::memcpy(storage.get(), FData.get(), static_cast<size_t>(FWritePos));
    FData = std::move(storage);
    FSize = newSize;
}

Integer TBuffer::Append(const void* src, Integer len)
{
    Integer room = FSize - FWritePos;
    if (room <= 0 || len <= 0)
        return 0;
    Integer n = len <= room ? len : room;
    std::memcpy(FData.get() + FWritePos, src, static_cast<size_t>(n));
    FWritePos += n;
    return n;
}

char* TBuffer::PeekData(Integer& len)
{
    Integer unread = FWritePos - FReadPos;
    if (unread <= 0) {
        len = 0;
        return nullptr;
    }
    len = unread;
    return FData.get() + FReadPos;
}

Integer TBuffer::Consume(Integer len)
{
    Integer unread = FWritePos - FReadPos;
    if (unread <= 0)
        return 0;
    Integer n = len < unread ? len : unread;
    if (n < 0)
        n = 0;
    FReadPos += n;
    if (FReadPos == FWritePos) {
        FReadPos = 0;
        FWritePos = 0;
    }
    return n;
}

// The data path of TCustomWSocket: the send queue and the operations that
// fill and push it, and the receive operations with the read-readiness loop.
//
// Sending never waits. Send copies the caller's bytes into the queue, offers
// the head block to the kernel until it refuses, and leaves the rest for the
// next write readiness. Receiving never reads ahead: bytes stay in the
// kernel until an OnDataAvailable handler pulls them.
#include "socket/WSocket.h"

#include <algorithm>

namespace {

namespace ps = platform::sock;

// Bytes read and thrown away per receive call when nobody handles
// OnDataAvailable.
constexpr Integer DiscardChunk = 1024;

// The out-of-band flag of the send calls; the value of the sockets interface.
constexpr Integer SendFlagOutOfBand = 1;

// Send errors after which the connection is unusable: the send path closes
// the socket and reports the close itself.
bool IsConnectionLostError(int error)
{
    switch (error) {
    case ps::WSAECONNRESET:
    case ps::WSAENOTSOCK:
    case ps::WSAENOTCONN:
    case ps::WSAEINVAL:
    case ps::WSAECONNABORTED:
        return true;
    default:
        return false;
    }
}

// Counters of the data model wrap around at 32 bits.
Integer WrappingAdd(Integer a, Integer b)
{
    return static_cast<Integer>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

} // namespace

// ---------------------------------------------------------------------------
// Sending

// Returns the number of bytes accepted into the queue, not the number already
// transmitted. OnDataSent never fires in here: a drained queue is announced
// through a posted write readiness, so a handler that sends again does not
// recurse into Send.
Integer TCustomWSocket::Send(const void* Data, Integer Len)
{
    if (FState != wsConnected) {
        wsock::WSASetLastError(ps::WSAENOTCONN);
        ReportSocketError("Send");
        return -1;
    }
    FAllDataSent = false;
    Integer result = 0;
    if (Len > 0) {
        result = Len;
        AppendToSendQueue(Data, Len);
    }
    TryToSend();
    // After a fatal send error the socket is closed (and back at its
    // defaults, AllDataSent included); there is no handle left to announce.
    if (FAllDataSent && FSocketHandle != INVALID_SOCKET)
        PostToSelf(WM_ASYNCSELECT, FSocketHandle, ps::FD_WRITE);
    return result;
}

Integer TCustomWSocket::SendStr(const std::string& Str)
{
    return Send(Str.data(), static_cast<Integer>(Str.size()));
}

// Fills the tail block to its end before starting a new one, so blocks are
// filled in order and never left with a gap.
void TCustomWSocket::AppendToSendQueue(const void* Data, Integer Len)
{
    if (Len <= 0)
        return;
    if (FSendQueue.empty())
        FSendQueue.push_back(std::make_unique<TBuffer>(FBlockSize));
    const char* src = static_cast<const char*>(Data);
    TBuffer* block = FSendQueue.back().get();
    for (;;) {
        Integer n = block->Append(src, Len);
        if (n == Len)
            return;
        src += n;
        Len -= n;
        FSendQueue.push_back(std::make_unique<TBuffer>(FBlockSize));
        block = FSendQueue.back().get();
    }
}

void TCustomWSocket::ClearSendQueue()
{
    FSendQueue.clear();
}

// Offers the head block's unread bytes until the queue is drained, the
// kernel refuses (the next write readiness resumes), or the connection is
// lost.
// A drained queue keeps its last block, emptied, for the next Send.
void TCustomWSocket::TryToSend()
{
    if (FSocketHandle == INVALID_SOCKET || FSendQueue.empty())
        return;
    // Entered from an OnSendData handler: the outer call still has to consume
    // what it offered, and its loop picks up anything queued meanwhile.
    if (FSending)
        return;
    const TSocket handle = FSocketHandle;
    for (;;) {
        TBuffer* head = FSendQueue.front().get();
        Integer len = 0;
        char* data = head->PeekData(len);
        if (len <= 0) {
            if (FSendQueue.size() == 1) {
                FAllDataSent = true;
                return;
            }
            FSendQueue.pop_front();
            continue;
        }

        FSending = true;
        Integer n;
        try {
            n = SendChunk(data, len);
        } catch (...) {
            FSending = false;
            throw;
        }
        FSending = false;

        if (n == 0)
            return;
        if (n < 0) {
            int error = wsock::WSAGetLastError();
            if (IsConnectionLostError(error)) {
                // Set before Close so that CloseConnection does not report the
                // close a second time; the report below carries the cause.
                FClosedReported = true;
                Close();
                FireSessionClosed(static_cast<Word>(error));
                return;
            }
            if (error == ps::WSAEWOULDBLOCK)
                return; // resumed by the next write readiness
            ReportSocketError("TryToSend failed");
            return;
        }
        // An OnSendData handler may have closed, aborted or reconnected the
        // socket; the block offered is then no longer ours to account for.
        if (FSocketHandle != handle || FSendQueue.empty() || FSendQueue.front().get() != head)
            return;
        // When the kernel took only part, the rest is offered again at once
        // rather than left for write readiness: the platform announces
        // writability only after a send refused with WSAEWOULDBLOCK, so the
        // next offer either goes out or arranges that announcement.
        head->Consume(n);
    }
}

Integer TCustomWSocket::SendChunk(const void* Data, Integer Len)
{
    Integer n;
    if (FSocketKind == SOCK_DGRAM)
        n = wsock::sendto(FSocketHandle, Data, Len, FSendFlags,
                          reinterpret_cast<const sockaddr*>(&FSockAddr),
                          static_cast<int>(sizeof FSockAddr));
    else
        n = wsock::send(FSocketHandle, Data, Len, FSendFlags);
    if (n > 0)
        FireSendData(n);
    return n;
}

void TCustomWSocket::FireSendData(Integer BytesSent)
{
    if (OnSendData)
        OnSendData(this, BytesSent);
}

// Write readiness. A readiness that arrives before anything was queued (the
// one after connecting) also fires OnDataSent, since the queue is drained.
void TCustomWSocket::HandleWriteReady(Word Error)
{
    const TSocket handle = FSocketHandle;
    TryToSend();
    // A connection lost while sending has been reported as closed already;
    // announcing its queue as sent would report a failure as success.
    if (FAllDataSent && handle != INVALID_SOCKET && FSocketHandle == handle)
        FireDataSent(Error);
}

// One datagram straight to Dest, bypassing the queue; failures are left to
// the caller (no report, LastError untouched).
Integer TCustomWSocket::SendTo(const sockaddr_in& Dest, Integer DestLen, const void* Data, Integer Len)
{
    Integer n = wsock::sendto(FSocketHandle, Data, Len, FSendFlags,
                              reinterpret_cast<const sockaddr*>(&Dest), DestLen);
    if (n > 0)
        FireSendData(n);
    return n;
}

// Pumps the event loop until the queue is drained or the socket is gone; no
// time limit (FlushTimeout is a stored setting only).
void TCustomWSocket::Flush()
{
    while (FSocketHandle != INVALID_SOCKET && !FAllDataSent) {
        // Nothing Flush could ever push: a queue without blocks (after a
        // zero-length Send) or a chunk still being offered by an outer
        // TryToSend whose OnSendData handler called us.
        if (FSendQueue.empty() || FSending)
            return;
        TryToSend();
        ProcessMessages();
        // Block until the next event: the kernel announces room through a
        // write readiness. A paused socket announces nothing, so it is
        // offered again after a while instead.
        if (FSocketHandle != INVALID_SOCKET && !FAllDataSent)
            WaitForEvent(FNotificationsPaused ? IdleRecheckMs : -1);
    }
}

TSocketSendFlags TCustomWSocket::SendFlags() const
{
    return FSendFlags == SendFlagOutOfBand ? wsSendUrgent : wsSendNormal;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags Value)
{
    switch (Value) {
    case wsSendNormal:
        FSendFlags = 0;
        return;
    case wsSendUrgent:
        FSendFlags = SendFlagOutOfBand;
        return;
    }
    ReportError("Invalid SendFlags");
}

// ---------------------------------------------------------------------------
// Receiving

Integer TCustomWSocket::RcvdCount()
{
    uint32_t count = 0;
    if (wsock::ioctlsocket(FSocketHandle, FIONREAD, &count) == ps::SOCKET_ERROR) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return static_cast<Integer>(count);
}

Integer TCustomWSocket::RecvRaw(void* Buffer, Integer Len, Integer Flags)
{
    const Integer n = wsock::recv(FSocketHandle, Buffer, Len, Flags);
    if (FSocketKind == SOCK_STREAM && Flags == 0 && Len > 0)
        FReadDrained = n < Len;
    return n;
}

// From is the platform's 16-byte IPv4 address record; FromLen is clamped to
// it so that a caller's larger length can never let the call write past it.
Integer TCustomWSocket::RecvFromRaw(TSocket Handle, void* Buffer, Integer BufferSize, Integer Flags,
                                    sockaddr_in& From, Integer& FromLen)
{
    int fromLen = std::clamp<Integer>(FromLen, 0, static_cast<Integer>(sizeof From));
    Integer n = wsock::recvfrom(Handle, Buffer, BufferSize, Flags,
                                reinterpret_cast<sockaddr*>(&From), &fromLen);
    FromLen = fromLen;
    return n;
}

// Failures are not reported: the result is -1 and LastError holds the number.
Integer TCustomWSocket::Receive(void* Buffer, Integer BufferSize)
{
    Integer n = RecvRaw(Buffer, BufferSize, 0);
    if (n < 0)
        FLastError = wsock::WSAGetLastError();
    else
        FReadCount = WrappingAdd(FReadCount, n);
    return n;
}

// Everything waiting, in one read. Unlike Receive it neither counts the
// bytes in ReadCount nor records a failure in LastError.
std::string TCustomWSocket::ReceiveStr()
{
    std::string result;
    Integer count = RcvdCount();
    if (count <= 0)
        return result;
    result.resize(static_cast<size_t>(count));
    Integer n = RecvRaw(result.data(), count, 0);
    if (n > 0)
        result.resize(static_cast<size_t>(n));
    else
        result.clear();
    return result;
}

Integer TCustomWSocket::ReceiveFrom(void* Buffer, Integer BufferSize, sockaddr_in& From, Integer& FromLen)
{
    Integer n = RecvFromRaw(FSocketHandle, Buffer, BufferSize, 0, From, FromLen);
    if (n < 0)
        FLastError = wsock::WSAGetLastError();
    else
        FReadCount = WrappingAdd(FReadCount, n);
    return n;
}

// Fires OnDataAvailable again and again while the kernel reports waiting
// bytes and no error was recorded, so a handler must take bytes (or close)
// on every call. When the last receive of a pass came back short, the
// kernel had nothing more then and is not asked again: the receive has
// re-enabled the read notification, which announces anything newer. Without a handler the bytes are discarded DiscardChunk at a
// time. Whatever escapes the handler ends the loop here and goes no further:
// read handlers are not covered by OnBgException. Every exception type is
// caught, not only Exception, because nothing above this loop expects one.
void TCustomWSocket::HandleReadReady(Word Error)
{
    try {
        for (;;) {
            FLastError = 0;
            FReadDrained = false;
            if (!FireDataAvailable(Error)) {
                char scratch[DiscardChunk];
                if (RecvRaw(scratch, DiscardChunk, 0) < 0) {
                    int error = wsock::WSAGetLastError();
                    if (error == ps::WSAEWOULDBLOCK) {
                        FLastError = 0;
                        return;
                    }
                    FLastError = error;
                }
            }
            if (FLastError != 0 || FReadDrained)
                return;
            uint32_t waiting = 0;
            if (wsock::ioctlsocket(FSocketHandle, FIONREAD, &waiting) == ps::SOCKET_ERROR) {
                FLastError = wsock::WSAGetLastError();
                return;
            }
            if (waiting == 0)
                return;
        }
    } catch (...) {
    }
}

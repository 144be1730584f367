// Line mode of the socket chain: the held buffer, line delivery, echo and
// terminal editing, and the redelivery after LineMode changes.
//
// The held bytes are FHeldBuf[FHeldStart, FHeldStart + FHeldCount). A line
// being offered is always their first FPendingLineLength bytes: Receive takes
// from the front, so the rest of a partly taken line is still at the front
// and the bytes that follow it stay right behind it. Taking from the front
// only moves FHeldStart; the bytes move to index 0 before the next read.
#include "socket/WSocket.h"

#include "platform/ScopedCount.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char Backspace = 8;
constexpr char Tab = 9;
// Tab stops, counted from the first held byte (the start of the line).
constexpr Integer TabWidth = 8;
// What a backspace echoes: back, blank out, back.
constexpr const char* EraseEcho = "\b \b";

} // namespace

TCustomLineWSocket::TCustomLineWSocket(TComponent* AOwner) : TCustomTlsWSocket(AOwner)
{
    FLineEnd = "\r\n";
    FLineMode = false;
}

// ---------------------------------------------------------------------------
// Properties

// A change while bytes are held (or a line is offered) has them offered
// again through the event loop: as plain data when line mode went off, as
// lines when it came back on.
void TCustomLineWSocket::SetLineMode(bool Value)
{
    if (Value == FLineMode)
        return;
    FLineMode = Value;
    if (Value && FHeldCount > 0)
        FRescanHeld = true;
    if (FHeldCount > 0 || FPendingLineLength > 0)
        PostToSelf(WM_LINE_REDELIVERY, 0, 0);
}

// In line mode, the length of the line offered (0 between lines, even with
// bytes held). Otherwise bytes still held from line mode come first: they
// are what the next Receive returns.
Integer TCustomLineWSocket::RcvdCount()
{
    if (LineModeActive())
        return FPendingLineLength;
    if (FHeldCount > 0)
        return FHeldCount;
    return TCustomTlsWSocket::RcvdCount();
}

// ---------------------------------------------------------------------------
// Receiving

// Serves the offered line in line mode and the held bytes outside it; a
// zero-length probe and everything else go to the socket. Flags do not
// apply to held bytes.
Integer TCustomLineWSocket::RecvRaw(void* Buffer, Integer Len, Integer Flags)
{
    if (!FFilling && Len > 0) {
        const Integer available = LineModeActive() ? FPendingLineLength : FHeldCount;
        if (available > 0) {
            const Integer n = std::min(Len, available);
            std::memcpy(Buffer, Held(), static_cast<size_t>(n));
            ConsumeHeld(n);
            FPendingLineLength = std::max<Integer>(0, FPendingLineLength - n);
            return n;
        }
    }
    return TCustomTlsWSocket::RecvRaw(Buffer, Len, Flags);
}

// Offers a line or held bytes to the application's OnDataAvailable. They are
// plaintext already, so the TLS layer, whose FireDataAvailable means "bytes
// have arrived at the socket", is passed by.
bool TCustomLineWSocket::FireApplicationDataAvailable()
{
    return TCustomSocksWSocket::FireDataAvailable(0);
}

void TCustomLineWSocket::ConsumeHeld(Integer Count)
{
    FHeldStart += Count;
    FHeldCount -= Count;
    if (FHeldCount == 0)
        FHeldStart = 0;
}

bool TCustomLineWSocket::FireDataAvailable(Word Error)
{
    if (!LineModeActive())
        return TCustomTlsWSocket::FireDataAvailable(Error);
    const Integer searchFrom = ReadIntoHeld();
    // Inside an offer (a handler pumping events) the bytes are only held;
    // the offer loop goes on to them once the current line is taken.
    if (searchFrom >= 0 && FDelivering == 0)
        DeliverLines(searchFrom);
    return true;
}

Integer TCustomLineWSocket::ReadIntoHeld()
{
    const Integer waiting = TCustomTlsWSocket::RcvdCount();
    if (waiting <= 0)
        return -1;
    if (FHeldStart > 0) {
        std::memmove(FHeldBuf.data(), Held(), static_cast<size_t>(FHeldCount));
        FHeldStart = 0;
    }
    // Grows to exactly what the waiting bytes need, plus the spare byte that
    // keeps the held bytes zero-terminated.
    const size_t needed = static_cast<size_t>(FHeldCount) + static_cast<size_t>(waiting) + 1;
    if (needed > FHeldBuf.size())
        FHeldBuf.resize(needed);

    Integer n;
    FFilling = true;
    try {
        n = Receive(FHeldBuf.data() + FHeldCount, waiting);
    } catch (...) {
        FFilling = false;
        throw;
    }
    FFilling = false;
    if (n <= 0)
        return -1;
    FHeldBuf[static_cast<size_t>(FHeldCount + n)] = 0;

    if (FLineEdit)
        EditReceivedBytes(n);
    else if (FLineEcho)
        FPendingEcho.assign(FHeldBuf.data() + FHeldCount, static_cast<size_t>(n));
    // A line end split across two reads starts up to its length before the
    // new bytes.
    Integer searchFrom = std::max<Integer>(0, FHeldCount - static_cast<Integer>(FLineEnd.size()));
    FHeldCount += n;
    if (FRescanHeld) {
        searchFrom = 0;
        FRescanHeld = false;
    }

    // Sent once the bytes are held: a send that finds the connection lost
    // closes the session, which must then find them.
    if (!FPendingEcho.empty()) {
        const uint32_t generation = FHeldGeneration;
        std::string echo;
        echo.swap(FPendingEcho);
        SendStr(echo);
        if (generation != FHeldGeneration)
            return -1;
    }
    return searchFrom;
}

void TCustomLineWSocket::DeliverLines(Integer SearchFrom)
{
    platform::TScopedCount depth(FDelivering);
    while (LineModeActive()) {
        const Integer endLength = static_cast<Integer>(FLineEnd.size());
        if (SearchFrom > FHeldCount - endLength)
            return;
        const char* first = Held();
        const char* last = first + FHeldCount;
        const char* found = std::search(first + SearchFrom, last, FLineEnd.begin(), FLineEnd.end());
        if (found == last)
            return;
        FPendingLineLength = static_cast<Integer>(found - first) + endLength;
        if (!OfferPendingLine())
            return;
        SearchFrom = 0;
    }
}

bool TCustomLineWSocket::OfferPendingLine()
{
    const uint32_t generation = FHeldGeneration;
    try {
        while (LineModeActive() && FPendingLineLength > 0) {
            const Integer before = FPendingLineLength;
            if (!FireApplicationDataAvailable()) {
                // Nobody takes lines: this one is dropped.
                ConsumeHeld(FPendingLineLength);
                FPendingLineLength = 0;
                return true;
            }
            if (generation != FHeldGeneration)
                return false;
            if (FPendingLineLength == before) {
                // Calling again at once would spin for as long as the
                // handler ignores the line; it stays held and is offered
                // again with the next bytes or redelivery.
                FPendingLineLength = 0;
                FRescanHeld = true;
                return false;
            }
        }
    } catch (...) {
        if (generation == FHeldGeneration) {
            FPendingLineLength = 0;
            FRescanHeld = true;
        }
        throw;
    }
    // Taken, or line mode went off before the whole line was: the rest is
    // plain held data now, redelivered through the notification.
    FPendingLineLength = 0;
    return true;
}

// Outside line mode. Without a handler the bytes are dropped, as the read
// loop drops unhandled bytes; a pass that takes nothing ends the offer (the
// bytes stay held and RcvdCount reports them).
void TCustomLineWSocket::OfferHeldAsData()
{
    const uint32_t generation = FHeldGeneration;
    while (!LineModeActive() && FHeldCount > 0) {
        const Integer before = FHeldCount;
        if (!FireApplicationDataAvailable()) {
            ConsumeHeld(FHeldCount);
            return;
        }
        if (generation != FHeldGeneration || FHeldCount >= before)
            return;
    }
}

void TCustomLineWSocket::RedeliverHeld()
{
    if (FHeldCount <= 0)
        return;
    if (!LineModeActive()) {
        OfferHeldAsData();
        return;
    }
    // Inside an offer the running loop scans again from the first held
    // byte once its line is taken.
    if (FDelivering > 0)
        return;
    FRescanHeld = false;
    DeliverLines(0);
}

// ---------------------------------------------------------------------------
// Editing

void TCustomLineWSocket::EditReceivedBytes(Integer& Count)
{
    const char* received = Held();
    // A line being offered is no longer the user's to erase.
    const Integer floor = FPendingLineLength;
    const Integer end = FHeldCount + Count;
    Integer j = FHeldCount;
    Integer lowest = FHeldCount;
    std::vector<char> edited;
    bool editing = false;
    auto startEditing = [&](Integer i) {
        if (!editing) {
            editing = true;
            edited.assign(received, received + i);
        }
    };
    auto put = [&](char ch) {
        if (static_cast<size_t>(j) >= edited.size())
            edited.resize(static_cast<size_t>(j) + 256);
        edited[static_cast<size_t>(j)] = ch;
    };

    for (Integer i = FHeldCount; i < end; ++i) {
        const char ch = received[i];
        if (ch == Backspace) {
            startEditing(i);
            if (j > floor) {
                if (FLineEcho)
                    FPendingEcho += EraseEcho;
                --j;
                lowest = std::min(lowest, j);
            }
        } else if (ch == Tab) {
            startEditing(i);
            do {
                if (FLineEcho)
                    FPendingEcho += ' ';
                put(' ');
                ++j;
            } while (j % TabWidth != 0);
        } else {
            if (FLineEcho)
                FPendingEcho += ch;
            if (editing)
                put(ch);
            ++j;
        }
    }
    if (!editing)
        return;
    if (FHeldBuf.size() <= static_cast<size_t>(j))
        FHeldBuf.resize(static_cast<size_t>(j) + 1);
    std::copy(edited.begin(), edited.begin() + j, FHeldBuf.begin());
    FHeldBuf[static_cast<size_t>(j)] = 0;
    FHeldCount = lowest;
    Count = j - lowest;
}

// ---------------------------------------------------------------------------
// Session close and notifications

// The bytes still held when the session closes are offered first: in line
// mode the complete lines, then the rest as a last line without a line end;
// outside it as plain data. The buffer is released even when a handler
// raises.
void TCustomLineWSocket::FireSessionClosed(Word Error)
{
    if (!FHeldBuf.empty()) {
        try {
            if (FHeldCount > 0 && LineModeActive()) {
                FPendingLineLength = 0;
                DeliverLines(0);
                if (FHeldCount > 0 && LineModeActive()) {
                    platform::TScopedCount depth(FDelivering);
                    FPendingLineLength = FHeldCount;
                    OfferPendingLine();
                }
            } else if (FHeldCount > 0) {
                OfferHeldAsData();
            }
        } catch (...) {
            ReleaseHeld();
            throw;
        }
        ReleaseHeld();
    }
    TCustomTlsWSocket::FireSessionClosed(Error);
}

void TCustomLineWSocket::ReleaseHeld()
{
    std::vector<char>().swap(FHeldBuf);
    FHeldStart = 0;
    FHeldCount = 0;
    FPendingLineLength = 0;
    FRescanHeld = false;
    FPendingEcho.clear();
    ++FHeldGeneration;
}

void TCustomLineWSocket::DispatchNotification(platform::TMessage& Msg)
{
    if (Msg.Msg != WM_LINE_REDELIVERY) {
        TCustomTlsWSocket::DispatchNotification(Msg);
        return;
    }
    try {
        RedeliverHeld();
    } catch (Exception& E) {
        HandleBgException(E);
    }
}

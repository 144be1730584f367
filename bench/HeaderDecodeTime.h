// The CPU time of decoding the headers of a generated mailbox for display,
// for the benchmark to print beside the check's own time.
#pragma once

#include <cstddef>
#include <cstdint>

struct THeaderDecodeTime {
    double WindowFields = 0; // seconds: Subject, From and Date as each row shows them
    double EveryField = 0;   // seconds: every field of every header through DecodeHeaderText
    size_t Fields = 0;       // fields in the mailbox's headers
    size_t OutputBytes = 0;  // bytes of display text made (a check that the work was done)
};

// Decodes the header blocks of messages [0, count) made from seed (as TOP
// n 0 delivers them, each soon after it was made), `runs` times; the
// medians of the CPU seconds.
THeaderDecodeTime MeasureHeaderDecoding(size_t count, uint32_t seed, int runs);

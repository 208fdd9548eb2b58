// Coverage for the shape of an input. The JSON reader is the system's
// library, built without the fuzzer's instrumentation, so on its own an
// input nested deeper or a value longer than before looks like nothing new
// to libFuzzer and is dropped. Each loop below runs once per level (or per
// 16 bytes); libFuzzer counts an edge's hits in buckets (1, 2, 3, 4-7, 8-15,
// 16-31, 32-127, 128+), so every deeper or longer bucket is kept as new.
#pragma once

#include <cstddef>

namespace fuzz {

// Written, never read: keeps the loops from being optimised away.
inline volatile size_t g_shapeSink;

inline void NoteShape(const char* text, size_t size) {
    size_t depth = 0, deepest = 0;
    for (size_t i = 0; i < size; ++i) {
        if (text[i] == '[' || text[i] == '{') {
            if (++depth > deepest) deepest = depth;
        } else if ((text[i] == ']' || text[i] == '}') && depth > 0) {
            --depth;
        }
    }
    for (size_t level = 0; level < deepest; ++level) g_shapeSink = level;
    for (size_t block = 0; block < size / 16; ++block) g_shapeSink = block;
}

}  // namespace fuzz

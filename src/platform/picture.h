// A BGRA picture where the grab or the worker left it: top row first,
// `stride` bytes from the start of one row to the next.
#pragma once

#include <cstddef>
#include <cstdint>

struct bgra_picture {
    const uint8_t *pixels;
    std::size_t stride;
    // Nothing in the picture changed since the previous picture that was
    // handed over: a sink may reuse what it made of that one.
    bool unchanged;
};

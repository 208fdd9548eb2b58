// Shared driver of the plug-in fuzz targets: the input picks a method of the
// plug-in's API table and gives its request parameters; the method runs
// through the real handler code against the platform fakes.
//
// Input layout: byte 0 chooses the method (modulo the table size), the rest
// is JSON text. An object becomes the parameters as they are; any other
// value (or text that is not JSON, as a string) is given under every
// parameter name the plug-in knows, so that type checks meet every kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fake.h"
#include "tavo/webapi.h"

namespace fuzz {

struct Target {
    const TAVO::API_TABLE* table;         // ends with a null entry
    std::vector<std::string> paramNames;  // every parameter the handlers read
    void (*setUpWorld)();                 // fills fake::W() after fake::Reset()
};

// Runs one input; aborts (a crash for libFuzzer) when an answer carries a
// code the system does not use, when a request is not answered exactly once,
// or when a connection, list or result set is left unreleased.
int RunOne(const Target& target, const uint8_t* data, size_t size);

// A world with content for every handler: two quarantine volumes with items,
// list entries, and result rows that answer every column the handlers read.
void SetUpRichWorld();

}  // namespace fuzz

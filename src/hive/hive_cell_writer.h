// Rewriting a value's data in a hive image, as Windows lays it out: a pure
// function over bytes. The pages a change touches are recorded in the image
// so that only they are logged and written.
#pragma once

#include "hive_cell_reader.h"

#include <cstdint>

// Room for the longest computer name, 15 UTF-16 units and a terminator: a
// new data cell is made this large, so a hive grows once however names change.
constexpr std::uint32_t HiveRoomyData = 32;

// Sets the data of `value` (of the key at `key`) to `size` bytes of `type`:
// in its own cell, reused when it fits and no other value of the key shares
// it (4 bytes or fewer included); else inside the record when 4 bytes or
// fewer; else in a new cell of at least HiveRoomyData bytes, in the bin this
// run added at the hive's end. No existing bin is searched for free space:
// only a bin reached by the chain of bin sizes could be trusted for it, and
// that chain is the whole hive. A cell of its own that the value leaves is
// freed, as Windows frees it, merged with free neighbours in its bin; one a
// value beside it shares is kept. Once the hive grows, every value of the
// keys written must have its data inside the bins it had. Updates the key's
// largest data size where it grows. HiveFault::None, or why it cannot be.
HiveFault SetHiveValue(HiveImage* hive, std::uint32_t key, const HiveValue& value, std::uint32_t type,
                       const unsigned char* data, std::uint32_t size);

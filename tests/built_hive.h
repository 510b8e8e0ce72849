// A hive built cell by cell for the engine's tests: a root key with one
// subkey, `Key`, whose values are `Name` (UTF-16 in a cell of its own),
// `Small` (in its record) and `Twin` (sharing Name's cell).
#pragma once

#include "hive_cell_reader.h"
#include "hive_format.h"

#include <cstring>
#include <utility>
#include <vector>

using Bytes = std::vector<unsigned char>;
constexpr std::uint32_t Bins = HivePageSize;

struct Built {
    std::uint32_t bins;
    Bytes bytes; // with room for added bins
    std::uint32_t next = BinField::HeaderSize;
    std::uint32_t key = 0;
    std::uint32_t nameCell = 0;

    unsigned char* At(std::uint32_t offset) {
        return bytes.data() + HiveBaseBlockSize + offset;
    }
    // A cell of `size` data bytes; its data pointer.
    std::uint32_t Cell(std::uint32_t size) {
        const std::uint32_t cell = next;
        const std::uint32_t whole = (CellField::Data + size + 7) / 8 * 8;
        HivePutLe32(At(cell) + CellField::Size, 0u - whole);
        next += whole;
        return cell;
    }
    unsigned char* Data(std::uint32_t cell) {
        return At(cell) + CellField::Data;
    }
    std::uint32_t Node(const char* name) {
        const std::uint32_t cell = Cell(KeyNodeField::Name + static_cast<std::uint32_t>(strlen(name)));
        memcpy(Data(cell) + KeyNodeField::Signature, "nk", 2);
        Data(cell)[KeyNodeField::Flags] = KeyNodeField::LatinName;
        Data(cell)[KeyNodeField::NameLength] = static_cast<unsigned char>(strlen(name));
        memcpy(Data(cell) + KeyNodeField::Name, name, strlen(name));
        return cell;
    }
    std::uint32_t Value(const char* name, std::uint32_t size, std::uint32_t data) {
        const std::uint32_t cell = Cell(ValueRecordField::Name + static_cast<std::uint32_t>(strlen(name)));
        memcpy(Data(cell) + ValueRecordField::Signature, "vk", 2);
        Data(cell)[ValueRecordField::NameLength] = static_cast<unsigned char>(strlen(name));
        HivePutLe32(Data(cell) + ValueRecordField::DataSize, size);
        HivePutLe32(Data(cell) + ValueRecordField::Data, data);
        HivePutLe32(Data(cell) + ValueRecordField::Type, 1); // REG_SZ
        Data(cell)[ValueRecordField::Flags] = ValueRecordField::LatinName;
        memcpy(Data(cell) + ValueRecordField::Name, name, strlen(name));
        return cell;
    }

    explicit Built(std::uint32_t binsSize = Bins)
        : bins(binsSize), bytes(HiveBaseBlockSize + bins + 2 * HivePageSize) {
        unsigned char* base = bytes.data();
        memcpy(base + BaseBlockField::Signature, "regf", 4);
        for (auto [at, value] : {std::pair{BaseBlockField::PrimarySequence, 3u},
                                 {BaseBlockField::SecondarySequence, 3u},
                                 {BaseBlockField::Major, 1u},
                                 {BaseBlockField::Minor, 5u},
                                 {BaseBlockField::Format, 1u},
                                 {BaseBlockField::BinsDataSize, bins}}) {
            HivePutLe32(base + at, value);
        }
        memcpy(At(0) + BinField::Signature, "hbin", 4);
        HivePutLe32(At(0) + BinField::Size, bins);
        const std::uint32_t root = Node("ROOT");
        key = Node("Key");
        const std::uint32_t list = Cell(SubkeyListField::Elements + SubkeyListField::HintedElement);
        memcpy(Data(list), "lf", 2);
        Data(list)[SubkeyListField::Count] = 1;
        HivePutLe32(Data(list) + SubkeyListField::Elements, key);
        memcpy(Data(list) + SubkeyListField::Elements + SubkeyListField::Hint, "Key", 3);
        HivePutLe32(Data(root) + KeyNodeField::SubkeyCount, 1);
        HivePutLe32(Data(root) + KeyNodeField::SubkeyList, list);
        nameCell = Cell(8);
        memcpy(Data(nameCell), "A\0B\0C\0\0\0", 8);
        const std::uint32_t values = Cell(3 * sizeof(std::uint32_t));
        const std::uint32_t records[] = {Value("Name", 8, nameCell),
                                         Value("Small", 2 | ValueRecordField::DataInRecord, 'x'),
                                         Value("Twin", 8, nameCell)};
        memcpy(Data(values), records, sizeof records);
        HivePutLe32(Data(key) + KeyNodeField::ValueCount, 3);
        HivePutLe32(Data(key) + KeyNodeField::ValueList, values);
        HivePutLe32(Data(key) + KeyNodeField::LargestValueData, 8);
        RestFree();
        HivePutLe32(base + BaseBlockField::RootCell, root);
        HiveSetChecksum(base);
    }
    void RestFree() {
        HivePutLe32(At(next) + CellField::Size, bins - next);
    }
    HiveImage Image() {
        HiveImage image;
        image.bytes = bytes.data();
        image.capacity = bytes.size();
        return image;
    }
};


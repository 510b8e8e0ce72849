"""The hive's byte layout as the tests name it: the names and offsets of
src/hive/hive_format.h, which the ctest hive_layout checks one by one against
that header, with each structure's magic bytes beside them. Offsets are in
bytes; numbers are little-endian."""

HivePageSize = 4096
HiveBaseBlockSize = HivePageSize
HiveLogHeaderSize = 512
HiveLogUnit = 512
HivePrimaryFile = 0
HiveOldFormatLog = 1
HiveNewFormatLog = 6
HiveTimestampSize = 8
HiveLargestSingleCell = 16344
HiveFirstSegmentedMinor = 4


class BaseBlockField:
    Magic = b"regf"
    Signature = 0
    PrimarySequence = 4
    SecondarySequence = 8
    Timestamp = 12
    Major = 20
    Minor = 24
    FileType = 28
    Format = 32
    RootCell = 36
    BinsDataSize = 40
    ClusteringFactor = 44
    FileName = 48
    Flags = 144
    Checksum = 508


class BinField:
    Magic = b"hbin"
    Signature = 0
    Offset = 4
    Size = 8
    Timestamp = 20
    HeaderSize = 32


class CellField:
    Size = 0
    Data = 4
    Alignment = 8


class KeyNodeField:
    Magic = b"nk"
    Signature = 0
    Flags = 2
    SubkeyCount = 20
    SubkeyList = 28
    ValueCount = 36
    ValueList = 40
    LargestValueData = 64
    NameLength = 72
    Name = 76
    LatinName = 0x20
    # Read by the tests' own checker only, so not named in the engine's header.
    Parent = 16
    Security = 44
    ClassName = 48
    LargestSubkeyName = 52
    LargestValueName = 60
    ClassLength = 74


class SecurityField:
    """A security record ("sk"), which the engine never reads."""
    Magic = b"sk"
    Signature = 0
    Flink = 4
    Blink = 8
    ReferenceCount = 12
    DescriptorSize = 16
    Descriptor = 20


class BigDataField:
    """A db record, over HiveLargestSingleCell bytes of data in segments."""
    Magic = b"db"
    Signature = 0
    Count = 2
    Segments = 4


class ValueRecordField:
    Magic = b"vk"
    Signature = 0
    NameLength = 2
    DataSize = 4
    Data = 8
    Type = 12
    Flags = 16
    Name = 20
    DataInRecord = 0x80000000
    InRecordMax = 4
    LatinName = 1


class SubkeyListField:
    Magics = (b"lf", b"lh", b"li", b"ri")
    Hinted = (b"lf", b"lh")
    Signature = 0
    Count = 2
    Elements = 4
    HintedElement = 8
    Hint = 4
    HintSize = 4
    PlainElement = 4


class LogEntryField:
    Magic = b"HvLE"
    Signature = 0
    Size = 4
    Flags = 8
    Sequence = 12
    BinsDataSize = 16
    PageCount = 20
    DataHash = 24
    HeaderHash = 32
    HeaderSize = 40
    Reference = 8
    ReferenceOffset = 0
    ReferenceSize = 4


class DirtyLogField:
    Magic = b"DIRT"
    Signature = HiveLogHeaderSize
    Bitmap = HiveLogHeaderSize + 4

// Our host side: loading errors, and how it answers and delivers for a module.
#include <gtest/gtest.h>

#include <ostream>

#include <elf.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>

#include "host/hosted_module.h"
#include "host/pe_format.h"
#include "host/pe_image.h"
#include "host/sample_checks.h"
#include "tools/scenario.h"

namespace grindlet::test {
namespace {

using host::ModuleLibrary;

struct LoadFailure {
    const char* path;
    const char* message;
};
void PrintTo(const LoadFailure& c, std::ostream* os) { *os << c.path; }

class HostLoadErrors : public ::testing::TestWithParam<LoadFailure> {};

TEST_P(HostLoadErrors, ComeBackAsMessages) {
    std::ofstream("/tmp/grindlet-junk.sep") << "MZ but nothing else";
    std::ofstream("/tmp/grindlet-text.sep") << "plain text";
    std::string error;
    EXPECT_EQ(ModuleLibrary::load(GetParam().path, error), nullptr);
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Files, HostLoadErrors,
    ::testing::Values(LoadFailure{"/nonexistent/Module.sep", "no such module file"},
                      LoadFailure{"/tmp/grindlet-text.sep", "not a loadable module"},
                      LoadFailure{"/tmp/grindlet-junk.sep", "not a loadable module"},
                      LoadFailure{GRINDLET_HALF_MODULE_PATH, "does not export makeModule"}));

TEST(HostedModule, MakeReportsANullObject) {
    std::string error;
    auto library = ModuleLibrary::load(GRINDLET_NULL_MODULE_PATH, error);
    ASSERT_TRUE(library) << error;
    host::HostedModule module(*library);
    EXPECT_FALSE(module.make(error));
    EXPECT_NE(error.find("returned null"), std::string::npos);
    EXPECT_FALSE(module.process(0, 16)) << "nothing to call";
}

class HostedEffect : public ::testing::Test {
protected:
    std::unique_ptr<ModuleLibrary> library;
    std::unique_ptr<host::HostedModule> module;
    void SetUp() override {
        std::string error;
        library = ModuleLibrary::load(GRINDLET_MODULE_PATH, error);
        ASSERT_TRUE(library) << error;
        module = std::make_unique<host::HostedModule>(*library);
        ASSERT_TRUE(module->make(error)) << error;
        module->describePins();
        module->allocateBuffers(256);
        module->open();
    }
};

TEST_F(HostedEffect, AnswersThePinCountAndRecordsTheOutputStatus) {
    EXPECT_EQ(module->getReportedPinCount(), 6);
    EXPECT_EQ(module->calls().front().opcode, HOST_GET_PIN_COUNT);
    EXPECT_EQ(module->sentStatus(3), STATUS_STREAMING);
    EXPECT_EQ(module->sentStatus(0), -1);
    EXPECT_EQ(module->sentStatus(99), -1);
}

TEST_F(HostedEffect, BlockPositionAdvancesWithTheSamplesProcessed) {
    module->sendPinStatus(0, STATUS_STREAMING);
    module->process(0, 100);
    module->process(100, 28);
    EXPECT_EQ(module->blockPosition(), 128);
    module->clearCalls();
    module->sendPinStatus(1, STATUS_STATIC);
    EXPECT_EQ(module->calls()[1].pointer, 128) << "the status is sent at the current position";
}

TEST_F(HostedEffect, SleepStopsProcessCallsUntilTheNextStatusChange) {
    module->setBlockSize(64);
    module->sendPinStatus(0, STATUS_STATIC);
    EXPECT_TRUE(module->process(0, 64));
    EXPECT_TRUE(module->isAsleep());
    EXPECT_FALSE(module->process(0, 64));
    EXPECT_EQ(module->blockPosition(), 64);
    module->sendPinStatus(0, STATUS_STREAMING);
    EXPECT_TRUE(module->process(0, 64));
    EXPECT_EQ(module->sleepCount(), 1);
}

TEST_F(HostedEffect, ReadsTheRoutineAfreshAfterItChanges) {
    const ProcessRoutine before = module->block()->process;
    module->sendPinStatus(0, STATUS_STREAMING);
    EXPECT_NE(module->block()->process, before);
    EXPECT_EQ(module->processChangedCount(), 1);
}

TEST_F(HostedEffect, CloseLeavesNoBlockAndIgnoresFurtherCalls) {
    module->close();
    EXPECT_EQ(module->block(), nullptr);
    EXPECT_EQ(module->dispatch(OP_OPEN), 0);
    EXPECT_FALSE(module->process(0, 1));
    module->close();
}

}  // namespace
}  // namespace grindlet::test

namespace grindlet::test {
namespace {

std::string fileContents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// A module file cut short at any length is refused with a message; dlopen never sees it.
TEST(ModuleFiles, ATruncatedElfModuleIsRefused) {
    const std::string whole = fileContents(GRINDLET_MODULE_PATH);
    ASSERT_GT(whole.size(), 4096u);
    // Where the loadable segments end (debug sections may follow them).
    Elf32_Ehdr header;
    std::memcpy(&header, whole.data(), sizeof header);
    size_t loadEnd = 0;
    for (unsigned i = 0; i < header.e_phnum; ++i) {
        Elf32_Phdr segment;
        std::memcpy(&segment, whole.data() + header.e_phoff + i * sizeof segment, sizeof segment);
        if (segment.p_type == PT_LOAD)
            loadEnd = std::max<size_t>(loadEnd, segment.p_offset + segment.p_filesz);
    }
    for (size_t length :
         {size_t{3}, size_t{52}, size_t{200}, loadEnd / 4, loadEnd / 2, loadEnd - 1}) {
        std::ofstream("/tmp/grindlet-truncated.sep", std::ios::binary) << whole.substr(0, length);
        std::string error;
        EXPECT_EQ(ModuleLibrary::load("/tmp/grindlet-truncated.sep", error), nullptr) << length;
        EXPECT_NE(error.find("not a loadable module"), std::string::npos)
            << length << ": " << error;
    }
}

// "Module.sep" means the file here, not a library on the search path.
TEST(ModuleFiles, ANameWithoutASlashIsTheFileInThisFolder) {
    char pattern[] = "/tmp/grindlet-here-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    std::ofstream(folder + "/Module.sep", std::ios::binary) << fileContents(GRINDLET_MODULE_PATH);
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(folder.c_str()), 0);
    std::string error;
    const bool loaded = ModuleLibrary::load("Module.sep", error) != nullptr;
    ASSERT_EQ(chdir(previous), 0);
    std::system(("rm -rf " + folder).c_str());
    EXPECT_TRUE(loaded) << error;
}

// The Windows module file, run by our PE loader (the test run builds it before this one).
class WindowsModuleFile : public ::testing::Test {
protected:
    std::string image;
    size_t pe = 0, optional = 0, sections = 0;  // where the headers and the section table are
    void SetUp() override {
        image = fileContents(GRINDLET_WINDOWS_MODULE_PATH);
        if (image.empty())
            GTEST_SKIP() << "no " << GRINDLET_WINDOWS_MODULE_PATH
                         << " (build the windows preset first)";
        pe = u32At(image, 0x3C);
        optional = pe + 24;
        sections = optional + (u32At(image, pe + 20) & 0xFFFF);
    }
    static uint32_t u32At(const std::string& bytes, size_t at) {
        uint32_t v = 0;
        std::memcpy(&v, bytes.data() + at, 4);
        return v;
    }
    static void put(std::string& bytes, size_t at, uint32_t v) { std::memcpy(&bytes[at], &v, 4); }
    int sectionCount() const { return int(u32At(image, pe + 6) & 0xFFFF); }
    // Where a field of a section's header is.
    size_t section(int index, size_t field) const { return sections + 40 * size_t(index) + field; }
};

// Any single damaged byte, headers, code or data, gives a message, never a crash.
TEST_F(WindowsModuleFile, ADamagedImageIsRefusedNotRun) {
    const std::string path = "/tmp/grindlet-damaged.sep";
    uint32_t seed = 12345;
    for (int trial = 0; trial < 300; ++trial) {
        seed = seed * 1103515245u + 12345u;
        // Half in the headers and tables at the front, half anywhere.
        const size_t at = trial % 2 == 0 ? seed % 1024 : seed % image.size();
        std::string damaged = image;
        damaged[at] = static_cast<char>(damaged[at] ^ static_cast<char>(1 + (seed >> 16) % 255));
        std::ofstream(path, std::ios::binary) << damaged;
        std::string error;
        EXPECT_EQ(ModuleLibrary::load(path, error), nullptr) << "byte " << at;
        EXPECT_NE(error.find("not a loadable module"), std::string::npos)
            << "byte " << at << ": " << error;
    }
}

// The process's own address space, summed from its mappings. Not the resident size: under an
// emulator that counts the emulator's cache of translated code, which grows whenever fresh code
// is loaded at an address, while /proc/self/maps still shows the emulated process's own view.
long mappedKibibytes() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    unsigned long long total = 0;
    while (std::getline(maps, line)) {
        unsigned long long start = 0, end = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx", &start, &end) == 2 && end > start)
            total += end - start;
    }
    return static_cast<long>(total / 1024);
}

// The image in memory as the system loader makes it: a section's file offset rounded down to the
// file alignment, no more of its raw bytes than its virtual size, and each section's protection
// from its characteristics.
TEST_F(WindowsModuleFile, SectionsAreMappedAsTheSystemLoaderMapsThem) {
    int code = -1, constants = -1, data = -1;  // r-x, r--, rw- sections with bytes in the file
    int exports = -1;  // the export table: addresses relative to the base, nothing relocated
    for (int i = 0; i < sectionCount(); ++i) {
        const uint32_t flags = u32At(image, section(i, 36)) & 0xE0000000u;
        if (image.compare(section(i, 0), 7, std::string(".edata\0", 7)) == 0) exports = i;
        if (u32At(image, section(i, 16)) < 0x400) continue;  // a page of its own, at least
        if (flags == 0x60000000u && code < 0) code = i;
        if (flags == 0x40000000u && constants < 0) constants = i;
        if (flags == 0xC0000000u && data < 0) data = i;
    }
    ASSERT_TRUE(code >= 0 && constants >= 0 && data >= 0 && exports >= 0);
    const uint32_t at = u32At(image, section(exports, 12));
    const uint32_t length = u32At(image, section(exports, 8)), cut = length / 2;
    const auto mapped = [&](const std::string& bytes, std::string& why) {
        return host::PeImage::mapForTesting(reinterpret_cast<const uint8_t*>(bytes.data()),
                                            bytes.size(), why);
    };
    std::string why;
    auto intact = mapped(image, why);
    ASSERT_NE(intact, nullptr) << why;
    const std::string exportsIntact(reinterpret_cast<const char*>(intact->imageBase() + at),
                                    length);
    ASSERT_NE(exportsIntact.find_first_not_of('\0', cut), std::string::npos)
        << "the section's last bytes are all zero: the virtual-size case would prove nothing";
    // Each section's protection, as /proc/self/maps shows it.
    const auto protection = [&](const host::PeImage& loaded, int index) {
        const uintptr_t where =
            reinterpret_cast<uintptr_t>(loaded.imageBase()) + u32At(image, section(index, 12));
        std::ifstream maps("/proc/self/maps");
        std::string line;
        while (std::getline(maps, line)) {
            unsigned long long start = 0, end = 0;
            char permissions[5] = {};
            if (std::sscanf(line.c_str(), "%llx-%llx %4s", &start, &end, permissions) == 3 &&
                where >= start && where < end)
                return std::string(permissions, 3);
        }
        return std::string("none");
    };
    // (An emulator shows its own mapping of the code it translates: no x to see there.)
    const bool emulated = std::ifstream("/proc/sys/fs/binfmt_misc/qemu-i386").good();
    EXPECT_EQ(protection(*intact, code), emulated ? "r--" : "r-x");
    EXPECT_EQ(protection(*intact, constants), "r--");
    EXPECT_EQ(protection(*intact, data), "rw-");
    const struct {
        const char* what;
        std::function<void(std::string&)> apply;
        std::string expected;  // the constant section's bytes as mapped
    } cases[] = {
        {"a file offset off the file alignment, rounded down",
         [&](std::string& b) {
             put(b, section(exports, 20), u32At(b, section(exports, 20)) + 0x10);
         },
         exportsIntact},
        {"a virtual size below the raw size: the rest zero",
         [&](std::string& b) { put(b, section(exports, 8), cut); },
         exportsIntact.substr(0, cut) + std::string(length - cut, '\0')},
    };
    intact.reset();  // one image mapped at a time keeps the emulated address space small
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string changed = image;
        c.apply(changed);
        const auto loaded = mapped(changed, why);
        ASSERT_NE(loaded, nullptr) << why;
        EXPECT_TRUE(std::string(reinterpret_cast<const char*>(loaded->imageBase() + at), length) ==
                    c.expected);
    }
}

// Loading and unloading it again and again leaves nothing behind (the image is unmapped, the
// runtime's own heap freed).
// The built DLL with one field of its headers made inconsistent, its checksum zeroed so that the
// structure is what is judged: each is refused before a byte of it runs (the way the system's
// own loader refuses it), except where the format allows what was changed.
TEST_F(WindowsModuleFile, InconsistentImagesAreRefusedBeforeTheyRun) {
    const uint32_t imageSize = u32At(image, optional + 56);
    // The first executable section, the first data section, and the uninitialised data.
    int code = -1, data = -1, zeros = -1;
    for (int i = 0; i < sectionCount(); ++i) {
        const bool runs = (u32At(image, section(i, 36)) & 0x20000020u) != 0;
        const bool raw = u32At(image, section(i, 16)) != 0;
        if (runs && code < 0) code = i;
        if (!runs && raw && data < 0) data = i;
        if (!raw && zeros < 0) zeros = i;
    }
    ASSERT_GE(code, 0);
    ASSERT_GE(data, 0);
    ASSERT_GE(zeros, 0) << "no section of uninitialised data";
    // Where an address of the image lies in the file.
    const auto fileOffset = [&](const std::string& b, uint32_t rva) -> size_t {
        for (int i = 0; i < sectionCount(); ++i) {
            const uint32_t address = u32At(b, section(i, 12)), raw = u32At(b, section(i, 16));
            if (rva >= address && rva < address + raw)
                return u32At(b, section(i, 20)) + rva - address;
        }
        ADD_FAILURE() << "no section holds " << rva;
        return 0;
    };
    struct Damage {
        const char* what;
        std::function<void(std::string&)> apply;
        const char* refusal;  // null: the image still loads
    };
    const Damage damages[] = {
        {"no data directories", [&](std::string& b) { put(b, optional + 92, 0); },
         "data-directory count"},
        {"the code section at address 0", [&](std::string& b) { put(b, section(code, 12), 0); },
         "over the headers"},
        {"the entry point beyond the image",
         [&](std::string& b) { put(b, optional + 16, imageSize + 0x1000); }, "entry point"},
        {"the entry point in data",
         [&](std::string& b) { put(b, optional + 16, u32At(b, section(data, 12))); },
         "entry point"},
        {"data placed over the code",
         [&](std::string& b) { put(b, section(data, 12), u32At(b, section(code, 12))); },
         "overlap"},
        {"no relocations", [&](std::string& b) { put(b, optional + 96 + 8 * 5 + 4, 0); },
         "no relocations"},
        {"imports beyond the image", [&](std::string& b) { put(b, optional + 96 + 8, imageSize); },
         "outside the image"},
        {"a section alignment that is no power of two",
         [&](std::string& b) { put(b, optional + 32, 0x1001); }, "alignments"},
        {"a section beyond the image", [&](std::string& b) { put(b, section(data, 8), imageSize); },
         "outside the image"},
        {"code that is not marked executable",
         [&](std::string& b) {
             put(b, section(code, 36), u32At(b, section(code, 36)) & ~0x20000000u);
         },
         "entry point outside every executable section"},
        {"export names beyond the export directory",
         [&](std::string& b) { put(b, fileOffset(b, u32At(b, optional + 96)) + 24, 0x10000); },
         "export table"},
        {"a relocation of a type i386 code has not",
         [&](std::string& b) {
             const size_t entry = fileOffset(b, u32At(b, optional + 96 + 8 * 5)) + 8;
             b[entry + 1] = static_cast<char>((b[entry + 1] & 0x0F) | 0xA0);  // type 10
         },
         "relocation of type 10"},
        {"uninitialised data with a raw size and raw offset 0, which means zero-filled",
         [&](std::string& b) {
             put(b, section(zeros, 16), 0x200);
             put(b, section(zeros, 20), 0);
         },
         nullptr},
    };
    const std::string damagedPath = "/tmp/grindlet-inconsistent.sep";
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        std::string damaged = image;
        damage.apply(damaged);
        put(damaged, optional + 64, 0);  // no checksum: the structure is judged
        std::ofstream(damagedPath, std::ios::binary) << damaged;
        std::string error;
        auto library = ModuleLibrary::load(damagedPath, error);
        if (damage.refusal == nullptr) {
            EXPECT_NE(library, nullptr) << error;
        } else {
            EXPECT_EQ(library, nullptr);
            EXPECT_NE(error.find(damage.refusal), std::string::npos) << error;
        }
    }
    // The checksum stays the first judge: a wrong non-zero one is refused as damage.
    std::string wrongChecksum = image;
    put(wrongChecksum, optional + 64, u32At(image, optional + 64) ^ 1);
    std::ofstream(damagedPath, std::ios::binary) << wrongChecksum;
    std::string error;
    EXPECT_EQ(ModuleLibrary::load(damagedPath, error), nullptr);
    EXPECT_NE(error.find("checksum"), std::string::npos) << error;
    std::remove(damagedPath.c_str());
}

// With the checksum not judged, damage reaches the structural checks: every single damaged byte
// of the headers and section table, and bytes across the whole file, give an image that is
// refused with a reason or mapped without running, never followed out of bounds (the sanitizer
// build runs this too). Each check that guards the mapping is seen to refuse something.
TEST_F(WindowsModuleFile, DamageWithoutAChecksumReachesEveryStructuralCheck) {
    std::map<std::string, int> refusals;
    int accepted = 0;
    // One copy, damaged and mended byte by byte: a fresh copy per image would fill the small
    // address space an emulated sanitizer build has.
    std::string damaged = image;
    const auto inspect = [&](size_t at, uint8_t flip) {
        damaged[at] = static_cast<char>(damaged[at] ^ flip);
        std::string why;
        if (host::PeImage::inspectForTesting(reinterpret_cast<const uint8_t*>(damaged.data()),
                                             damaged.size(), why)) {
            ++accepted;
        } else {
            ++refusals[why];
        }
        damaged[at] = image[at];
    };
    constexpr size_t HEADER_BYTES = 1024;
    for (size_t at = 0; at < HEADER_BYTES; ++at) {
        for (int flip : {0x01, 0x10, 0x80, 0xFF}) inspect(at, static_cast<uint8_t>(flip));
    }
    for (size_t at = HEADER_BYTES; at < image.size(); at += 61) inspect(at, 0xFF);
    std::string seen;
    for (const auto& [why, count] : refusals) seen += why + " (" + std::to_string(count) + ")\n";
    const char* const everyCheck[] = {
        "no MZ header",
        "no PE header",
        "not an i386 image",
        "not a PE32 image",
        "image or header size out of range",
        "truncated section table",
        "inconsistent section and file alignments",
        "a data-directory count that does not fit",
        "a data directory outside the image",
        "a section outside the image, over the headers or off its alignment",
        "a section's data outside the file or over the headers",
        "two sections overlap",
        "entry point outside every executable section",
        "a section or relocation lies outside the file or image",
        "thread-local data outside the image",
        "import name outside the image",
    };
    for (const char* check : everyCheck) {
        const bool reached = std::any_of(refusals.begin(), refusals.end(), [&](const auto& r) {
            return r.first.find(check) != std::string::npos;
        });
        EXPECT_TRUE(reached) << check << " never refused; refusals:\n" << seen;
    }
    EXPECT_GT(accepted, 0);
    // A damaged name is shown escaped, never as raw bytes for a terminal to act on.
    EXPECT_EQ(seen.find_first_of("\x1b\x7f\x80\xff"), std::string::npos) << seen;
}

TEST_F(WindowsModuleFile, RepeatedLoadsLeaveNothingBehind) {
    std::string error;
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(ModuleLibrary::load(GRINDLET_WINDOWS_MODULE_PATH, error)) << error;
#if defined(__SANITIZE_ADDRESS__)
    // Under ASan nothing is measured (below), and an emulated 32-bit address space holds fewer.
    constexpr int LOADS = 50;
#else
    constexpr int LOADS = 1000;
#endif
    const long before = mappedKibibytes();
    for (int i = 0; i < LOADS; ++i) {
        auto library = ModuleLibrary::load(GRINDLET_WINDOWS_MODULE_PATH, error);
        ASSERT_TRUE(library) << error;
        host::HostedModule module(*library);
        ASSERT_TRUE(module.make(error)) << error;
        module.describePins();
        module.allocateBuffers(64);
        module.open();
        module.close();
    }
#if defined(__SANITIZE_ADDRESS__)
    (void)before;  // AddressSanitizer keeps freed memory in quarantine: no growth to measure
#else
    EXPECT_LT(mappedKibibytes() - before, 2048) << "KiB grown over 1000 loads";
#endif
    EXPECT_TRUE(ModuleLibrary::load(GRINDLET_WINDOWS_MODULE_PATH, error))
        << "a sound image still loads: " << error;
}

// One entry of a COFF symbol table, which MinGW's linker keeps in an unstripped image.
struct CoffSymbol {
    char name[8];            // the name, or 0 then an offset into the string table
    uint32_t value;          // for a function: its offset in its section
    int16_t section;         // 1-based section number; 0 or less: not in a section
    uint16_t type;           // (not read)
    uint8_t storageClass;    // (not read)
    uint8_t auxiliaryCount;  // entries that follow this one and belong to it
} __attribute__((packed));
static_assert(sizeof(CoffSymbol) == 18);

// The symbol names at each address (relative to the image's base) in an unstripped image.
std::multimap<uint32_t, std::string> symbolsByAddress(const std::string& image) {
    std::multimap<uint32_t, std::string> names;
    uint32_t pe = 0;
    std::memcpy(&pe, image.data() + host::pe::DOS_PE_OFFSET, 4);
    host::pe::FileHeader file{};
    std::memcpy(&file, image.data() + pe, sizeof file);
    const size_t sections = pe + sizeof file + file.optionalSize;
    const size_t strings = size_t{file.symbolTable} + size_t{file.symbolCount} * sizeof(CoffSymbol);
    if (file.symbolTable == 0 || strings > image.size()) return names;
    for (uint32_t i = 0; i < file.symbolCount; ++i) {
        CoffSymbol symbol{};
        std::memcpy(&symbol, image.data() + file.symbolTable + i * sizeof symbol, sizeof symbol);
        i += symbol.auxiliaryCount;
        if (symbol.section <= 0 || symbol.section > file.sectionCount) continue;
        host::pe::SectionHeader section{};
        std::memcpy(&section, image.data() + sections + (symbol.section - 1) * sizeof section,
                    sizeof section);
        uint32_t offset = 0;
        std::memcpy(&offset, symbol.name + 4, 4);
        const std::string name = std::memcmp(symbol.name, "\0\0\0\0", 4) == 0
                                     ? std::string(image.c_str() + strings + offset)
                                     : std::string(symbol.name, strnlen(symbol.name, 8));
        names.emplace(section.virtualAddress + symbol.value, name);
    }
    return names;
}

// The Windows module's virtual table as MinGW laid it out, against the slot order the ABI
// header states: an object made by the module file (its copy with symbols kept) in our PE
// loader, each slot's function named by the file's symbol table.
TEST(WindowsModuleSymbols, VirtualOperationsSitInTheSlotsTheHeaderStates) {
    const std::string image = fileContents(GRINDLET_WINDOWS_SYMBOLS_MODULE_PATH);
    if (image.empty())
        GTEST_SKIP() << "no " << GRINDLET_WINDOWS_SYMBOLS_MODULE_PATH
                     << " (build the windows preset first)";
    const auto names = symbolsByAddress(image);
    ASSERT_FALSE(names.empty()) << "no symbol table";
    std::string error;
    const auto library = ModuleLibrary::load(GRINDLET_WINDOWS_SYMBOLS_MODULE_PATH, error);
    ASSERT_TRUE(library) << error;
    uint32_t base = 0;
    for (const auto& [address, name] : names) {
        if (name == "_getModuleProperties")
            base = reinterpret_cast<uint32_t>(library->getModuleProperties()) - address;
    }
    ASSERT_NE(base, 0u) << "no _getModuleProperties symbol";
    host::HostedModule module(*library);
    ASSERT_TRUE(module.make(error)) << error;
    uint32_t table = 0;
    std::memcpy(&table, module.block()->object, sizeof table);
    // What each slot's function is called, mangled: the two destructors, then the operations.
    const char* const stated[] = {"ModuleD1Ev",     "ModuleD0Ev",          "17onPinStatusChange",
                                  "7onEvent",       "8dispatch",           "4open",
                                  "5close",         "16unusedOperation6",  "13setSampleRate",
                                  "12setBlockSize", "13getSampleRate",     "12getBlockSize",
                                  "10getPinInfo",   "17unusedOperation12", "17unusedOperation13",
                                  "8onNotify",      "11onDataEvent",       "9onMessage"};
    for (size_t slot = 0; slot < std::size(stated); ++slot) {
        uint32_t function = 0;
        std::memcpy(&function, reinterpret_cast<const void*>(table + 4 * slot), sizeof function);
        std::string found;
        const auto [first, last] = names.equal_range(function - base);
        for (auto at = first; at != last; ++at) {
            if (at->second.find(stated[slot]) != std::string::npos) found = at->second;
        }
        EXPECT_FALSE(found.empty())
            << "slot " << slot << " should be " << stated[slot]
            << "; the symbols there: " << (first == last ? std::string("none") : first->second);
    }
    module.close();
}

}  // namespace
}  // namespace grindlet::test

namespace grindlet::test {
namespace {

struct CheckRun {
    const char* arguments;
    int status;
    const char* outputMentions;
};

// grindlet-check on broken files and bad command lines: a message and exit 2, never a crash.
TEST(CheckTool, RefusesWhatItCannotCheckAndDescribesTheModule) {
    const std::string whole = fileContents(GRINDLET_MODULE_PATH);
    std::ofstream("/tmp/grindlet-check-truncated.sep", std::ios::binary)
        << whole.substr(0, whole.size() / 3);
    const std::string module = GRINDLET_MODULE_PATH;
    const CheckRun runs[] = {
        {"/tmp/grindlet-check-truncated.sep", 2, "not a loadable module"},
        {"/nonexistent/Module.sep", 2, "no such module file"},
        {"--frobnicate", 2, "unknown option --frobnicate"},
        {"MODULE --samples", 2, "--samples adds to a --dump FILE"},
        {"", 2, "usage"},
        {"--describe MODULE", 0, "Q.Mode     in   list          Floor      Floor, Round, Inside"},
        {"--describe MODULE", 0, "R.Mode     in   list          Step       Step, Linear"},
        {"--describe MODULE", 0, "name: QZ-Grindlet"},
        {"--describe MODULE", 0, "Bits       in   float stream  16 bits    1 to 24 bits"},
        {"--describe MODULE", 0, "S.R.       in   float stream  44100 Hz   11025 to 44100 Hz"},
    };
    for (const CheckRun& run : runs) {
        std::string arguments = run.arguments;
        const size_t at = arguments.find("MODULE");
        if (at != std::string::npos) arguments.replace(at, 6, module);
        const std::string output = "/tmp/grindlet-check-output.txt";
        const int status = std::system(
            (std::string(GRINDLET_CHECK_PATH) + " " + arguments + " > " + output + " 2>&1")
                .c_str());
        EXPECT_TRUE(WIFEXITED(status)) << arguments << ": killed by a signal";
        EXPECT_EQ(WEXITSTATUS(status), run.status) << arguments;
        EXPECT_NE(fileContents(output).find(run.outputMentions), std::string::npos)
            << arguments << ":\n"
            << fileContents(output);
    }
}

// --dump FILE --samples: under each scenario's "name hash" line, its output samples' bit
// patterns, which are exactly what the hash was taken of (so two builds' dumps show the first
// sample where they part).
TEST(CheckTool, SampleDumpHoldsEveryOutputSampleUnderItsScenario) {
    const std::string dump = "/tmp/grindlet-check-samples.txt";
    std::remove(dump.c_str());
    const int status = std::system((std::string(GRINDLET_CHECK_PATH) + " " + GRINDLET_MODULE_PATH +
                                    " --dump " + dump + " --samples > /dev/null")
                                       .c_str());
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::ifstream in(dump);
    std::string line, name, hash;
    std::vector<float> samples;
    int scenarios = 0;
    size_t total = 0;
    const auto close = [&] {
        if (name.empty()) return;
        EXPECT_EQ(hex32(hashSamples(samples)), hash) << name;
        total += samples.size();
        ++scenarios;
        samples.clear();
    };
    while (std::getline(in, line)) {
        if (line.rfind("  ", 0) == 0) {
            samples.push_back(floatFromBits(static_cast<uint32_t>(std::stoul(line, nullptr, 16))));
            continue;
        }
        close();
        name = line.substr(0, line.rfind(' '));
        hash = line.substr(line.rfind(' ') + 1);
    }
    close();
    std::remove(dump.c_str());
    EXPECT_EQ(scenarios, 40);
    EXPECT_GT(total, 100000u);
}

// grindlet-check on module files nobody trusts: whatever the file does, the checker reports it
// and goes on; the file being checked and every file not asked for are left as they were.
TEST(CheckTool, SurvivesHostileModuleFilesAndNeverWritesTheFileItChecks) {
    const std::string dir = "/tmp/grindlet-check-hostile";
    std::system(("rm -rf " + dir + " && mkdir -p " + dir).c_str());
    const std::string module = dir + "/M.sep";
    std::system(("cp " + std::string(GRINDLET_MODULE_PATH) + " " + module).c_str());
    std::system(("mkfifo " + dir + "/fifo.sep && echo earlier > " + dir + "/earlier.txt && : > " +
                 dir + "/empty.sep && mkdir " + dir + "/folder.sep && ln -s M.sep " + dir +
                 "/link.sep && truncate -s 1500M " + dir + "/huge.sep")
                    .c_str());
    const std::string original = fileContents(module);
    struct HostileRun {
        const char* what;
        std::string arguments;
        int status;
        std::vector<std::string> mentions;
        std::string environment = "";
    };
    const HostileRun runs[] = {
        {"the dump is the module file",
         module + " --dump " + module + " -f",
         2,
         {"is the module file being checked"}},
        {"the dump is a link to the module file",
         module + " --dump " + dir + "/link.sep -f",
         2,
         {"is the module file being checked"}},
        {"an existing dump without -f",
         module + " --dump " + dir + "/earlier.txt",
         2,
         {"exists: use -f"}},
        {"a dump when the module cannot load",
         dir + "/empty.sep --dump " + dir + "/new.txt",
         2,
         {"is empty"}},
        {"a folder", dir + "/folder.sep", 2, {"is a folder"}},
        {"a pipe", dir + "/fifo.sep", 2, {"is a pipe (FIFO)"}},
        {"a device", "/dev/zero", 2, {"is a device"}},
        {"a huge file", dir + "/huge.sep", 2, {"more than any module file"}},
        {"an export that never returns",
         std::string(GRINDLET_SPINNING_MODULE_PATH) + " --timeout 2",
         1,
         {"FAIL no module at index 1, version still written: the module did not finish within 2 s",
          "passed,"}},
        {"null entries in the block",
         GRINDLET_NULL_ENTRIES_MODULE_PATH,
         1,
         {"crashed with SIG", "passed,"}},  // SEGV, or ABRT where ASan reports it first
        {"loading never finishes",
         std::string(GRINDLET_LOADING_SPINS_MODULE_PATH) + " --timeout 2",
         2,
         {"loading it did not finish within 2 s"}},
        {"a bad time limit", module + " --timeout 0", 2, {"--timeout"}},
        {"a dump into a device",
         std::string(GRINDLET_NULL_MODULE_PATH) + " --dump /dev/null",
         1,
         {"passed,"}},
        {"loading ends the process with status 0",
         std::string(GRINDLET_HOSTILE_MODULE_PATH),
         2,
         {"loading it ended before it finished (exit status 0)"},
         "GRINDLET_HOSTILE=exit "},
        {"describing ends the process with status 0",
         std::string(GRINDLET_HOSTILE_MODULE_PATH) + " --describe",
         2,
         {"ended before it finished (exit status 0)"},
         "GRINDLET_HOSTILE=exit "},
        {"loading closes the standard streams",
         std::string(GRINDLET_HOSTILE_MODULE_PATH) + " --describe",
         2,
         {"grindlet-check: makeModule(0, 1) returned null"},
         "GRINDLET_HOSTILE=close "},
        {"loading leaves processes behind that hold every descriptor",
         std::string(GRINDLET_HOSTILE_MODULE_PATH) + " --timeout 30",
         1,
         {"2 passed, 38 failed"},
         "GRINDLET_HOSTILE=fork GRINDLET_HOSTILE_PIDS=" + dir + "/pids "},
    };
    for (const HostileRun& run : runs) {
        SCOPED_TRACE(run.what);
        const std::string output = dir + "/output.log";
        const auto started = std::chrono::steady_clock::now();
        const int status = std::system(
            (run.environment + GRINDLET_CHECK_PATH + " " + run.arguments + " > " + output + " 2>&1")
                .c_str());
        // Processes the module left that held the result pipe never made a run wait them out.
        if (run.environment.find("fork") != std::string::npos) {
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(50));
        }
        ASSERT_TRUE(WIFEXITED(status)) << "killed by a signal";
        EXPECT_EQ(WEXITSTATUS(status), run.status);
        const std::string said = fileContents(output);
        for (const std::string& mention : run.mentions)
            EXPECT_NE(said.find(mention), std::string::npos) << said;
        EXPECT_EQ(fileContents(module), original) << "the module file changed";
        EXPECT_EQ(fileContents(dir + "/earlier.txt"), "earlier\n");
        EXPECT_FALSE(std::ifstream(dir + "/new.txt").good()) << "a dump appeared";
    }
    // Nothing the module started outlives the checker: its process group is ended, and what left
    // the group (a session of its own) falls to the checker as subreaper, which ends it too;
    // an emulator that has no subreapers (qemu-user) lets a new session escape.
    const bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    if (subreaper) prctl(PR_SET_CHILD_SUBREAPER, 0);
    std::ifstream pids(dir + "/pids");
    std::string kind;
    int started = 0;
    for (pid_t pid; pids >> kind >> pid; ++started) {
        if (kind == "session" && !subreaper) continue;
        std::string state;  // "PID (name) S ...": a zombie (Z) has ended, only not been reaped
        std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), state);
        const size_t after = state.rfind(") ");
        const bool alive = after != std::string::npos && state[after + 2] != 'Z';
        EXPECT_FALSE(alive) << kind << " process " << pid << " outlived the checker";
    }
    EXPECT_GE(started, 40 * 3);
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace
}  // namespace grindlet::test

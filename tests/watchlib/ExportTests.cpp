// The library's binary interface: seven ordinals, no names; a client linked to the import
// library imports by ordinal.
#include "MIRELAPI.h"
#include "TestProcess.h"

#include <gtest/gtest.h>

namespace {

template <typename T>
const T* At(HMODULE module, DWORD rva)
{
    return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(module) + rva);
}

const IMAGE_DATA_DIRECTORY& Directory(HMODULE module, int index)
{
    const IMAGE_DOS_HEADER* dos = At<IMAGE_DOS_HEADER>(module, 0);
    const IMAGE_NT_HEADERS* nt = At<IMAGE_NT_HEADERS>(module, dos->e_lfanew);
    return nt->OptionalHeader.DataDirectory[index];
}

}  // namespace

TEST(WatchExports, OrdinalsOneToSevenAndNoNames)
{
    // Linked against the import library: the loader bound this ordinal at start.
    MirelStopUPSWatch();
    HMODULE module = ::GetModuleHandleW(L"MIRELAPI.dll");
    ASSERT_NE(nullptr, module);

    const IMAGE_EXPORT_DIRECTORY* exports =
        At<IMAGE_EXPORT_DIRECTORY>(module, Directory(module, IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress);
    EXPECT_EQ(1u, exports->Base);
    EXPECT_EQ(7u, exports->NumberOfFunctions);
    EXPECT_EQ(0u, exports->NumberOfNames);
    const DWORD* functions = At<DWORD>(module, exports->AddressOfFunctions);
    for (DWORD i = 0; i < exports->NumberOfFunctions; ++i) {
        EXPECT_NE(0u, functions[i]) << "ordinal " << i + 1;
        EXPECT_NE(nullptr, ::GetProcAddress(module, MAKEINTRESOURCEA(i + 1)));
    }
    EXPECT_EQ(nullptr, ::GetProcAddress(module, MAKEINTRESOURCEA(8)));
    for (const char* name : { "MirelInitialize", "MirelFinalize", "MirelStartUPSWatch", "MirelStopUPSWatch",
                             "MirelSetWatchOptions", "MirelGetWatchSource", "MirelGetS4Cause" }) {
        EXPECT_EQ(nullptr, ::GetProcAddress(module, name)) << name;
    }
}

TEST(WatchExports, ClientImportsByOrdinal)
{
    HMODULE self = ::GetModuleHandleW(NULL);
    const IMAGE_IMPORT_DESCRIPTOR* imports =
        At<IMAGE_IMPORT_DESCRIPTOR>(self, Directory(self, IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress);
    bool found = false;
    for (; imports->Name != 0; ++imports) {
        if (_stricmp(At<char>(self, imports->Name), "MIRELAPI.dll") != 0) {
            continue;
        }
        found = true;
        const IMAGE_THUNK_DATA* thunk = At<IMAGE_THUNK_DATA>(self, imports->OriginalFirstThunk);
        for (; thunk->u1.Ordinal != 0; ++thunk) {
            EXPECT_TRUE(IMAGE_SNAP_BY_ORDINAL(thunk->u1.Ordinal));
            EXPECT_EQ(static_cast<ULONGLONG>(MIRELAPI_ORD_STOPUPSWATCH), IMAGE_ORDINAL(thunk->u1.Ordinal));
        }
    }
    EXPECT_TRUE(found);
}

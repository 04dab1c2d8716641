// The DLL as a host sees it: loaded by file name, every export found under
// its plain name, the version text and an empty last error, and the version
// resource that Explorer and installers read.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "support/files_win32.h"

namespace {

constexpr const char *kExports[] = {
    "screenrecorder_version",    "screenrecorder_last_error", "screenrecorder_probe",
    "screenrecorder_screenshot", "screenrecorder_start",      "screenrecorder_status",
    "screenrecorder_stop",
};

using text_fn = const char *(*)();

class LoadedDll : public ::testing::Test {
  protected:
    void SetUp() override {
        // By file name: the loader finds it next to the program, as it would
        // for a host that ships the DLL beside its executable.
        dll_ = LoadLibraryW(L"kestrova-screenrecorder.dll");
        ASSERT_NE(dll_, nullptr) << "LoadLibrary failed: " << GetLastError();
    }
    void TearDown() override {
        if (dll_ != nullptr) {
            EXPECT_TRUE(FreeLibrary(dll_));
        }
    }
    FARPROC find(const char *name) const { return GetProcAddress(dll_, name); }
    HMODULE dll_ = nullptr;
};

TEST_F(LoadedDll, EveryExportIsFoundUnderItsPlainName) {
    for (const char *name : kExports) {
        EXPECT_NE(find(name), nullptr) << name;
    }
    // Nothing decorated and nothing of the runtime is exported.
    EXPECT_EQ(find("_screenrecorder_version"), nullptr);
    EXPECT_EQ(find("screenrecorder_version@0"), nullptr);
    EXPECT_EQ(find("DllMain"), nullptr);
    EXPECT_EQ(find("malloc"), nullptr);
}

TEST_F(LoadedDll, FreshLibraryReadsVersionAndAnEmptyLastError) {
    auto version = reinterpret_cast<text_fn>(reinterpret_cast<void *>(find("screenrecorder_version")));
    auto last_error = reinterpret_cast<text_fn>(reinterpret_cast<void *>(find("screenrecorder_last_error")));
    ASSERT_NE(version, nullptr);
    ASSERT_NE(last_error, nullptr);
    EXPECT_STREQ(version(), "1.0.0");
    EXPECT_EQ(version(), version());
    ASSERT_NE(last_error(), nullptr);
    EXPECT_STREQ(last_error(), "");
}

TEST_F(LoadedDll, AFailureInsideTheDllIsReadThroughItsLastError) {
    using probe_fn = int32_t (*)(const char **);
    auto probe = reinterpret_cast<probe_fn>(reinterpret_cast<void *>(find("screenrecorder_probe")));
    auto last_error = reinterpret_cast<text_fn>(reinterpret_cast<void *>(find("screenrecorder_last_error")));
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe(nullptr), -1);
    EXPECT_STREQ(last_error(), "out_json pointer is NULL");
}

std::string version_string(const std::string &blob, const char *key) {
    void *value = nullptr;
    UINT length = 0;
    const std::string query = std::string("\\StringFileInfo\\040904B0\\") + key;
    if (!VerQueryValueA(blob.data(), query.c_str(), &value, &length) || length == 0) {
        return {};
    }
    return std::string(static_cast<const char *>(value));
}

TEST(DllVersionResource, CarriesVersionOneAndItsDescription) {
    const std::string dll = program_directory() + "kestrova-screenrecorder.dll";
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(dll.c_str(), &ignored);
    ASSERT_GT(size, 0u) << "no version resource in " << dll;
    std::string blob(size, '\0');
    ASSERT_TRUE(GetFileVersionInfoA(dll.c_str(), 0, size, blob.data()));

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(blob.data(), "\\", reinterpret_cast<void **>(&fixed), &length));
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_DLL));

    EXPECT_EQ(version_string(blob, "FileVersion"), "1.0.0");
    EXPECT_EQ(version_string(blob, "ProductVersion"), "1.0.0");
    EXPECT_EQ(version_string(blob, "OriginalFilename"), "kestrova-screenrecorder.dll");
    EXPECT_FALSE(version_string(blob, "FileDescription").empty());
}

} // namespace

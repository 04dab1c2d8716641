// The display enumerator over DXGI: adapters and their outputs, in the order
// DXGI hands them out, and the primary screen's metrics for the fallback.
#include <windows.h>

#include <dxgi.h>

#include "screenrecorder/display.h"

namespace {
void *win32_create_factory() {
    IDXGIFactory1 *factory = nullptr;
    const HRESULT hr = CreateDXGIFactory1(IID_IDXGIFactory1, reinterpret_cast<void **>(&factory));
    if (FAILED(hr) || factory == nullptr) {
        if (factory != nullptr) {
            factory->Release();
        }
        return nullptr;
    }
    return factory;
}

// Only an object that a successful call delivered is handed on; any other
// result ends that enumeration, so nothing is used that was not delivered.
template <typename T> enum_result win32_delivered(HRESULT hr, T *object, void **out) {
    if (hr == DXGI_ERROR_NOT_FOUND) {
        return enum_result::not_found;
    }
    if (FAILED(hr) || object == nullptr) {
        return enum_result::failed;
    }
    *out = object;
    return enum_result::delivered;
}

enum_result win32_enum_adapter(void *factory, uint32_t index, void **adapter) {
    IDXGIAdapter1 *a = nullptr;
    const HRESULT hr = static_cast<IDXGIFactory1 *>(factory)->EnumAdapters1(index, &a);
    return win32_delivered(hr, a, adapter);
}

enum_result win32_enum_output(void *adapter, uint32_t index, void **output) {
    IDXGIOutput *o = nullptr;
    const HRESULT hr = static_cast<IDXGIAdapter1 *>(adapter)->EnumOutputs(index, &o);
    return win32_delivered(hr, o, output);
}

// The desktop rectangle is in virtual screen coordinates, the ones the screen
// device context uses: the primary display's corner is (0, 0), and displays
// left of or above it have negative coordinates.
bool win32_get_desc(void *output, int32_t *left, int32_t *top, int32_t *width, int32_t *height) {
    DXGI_OUTPUT_DESC desc{};
    if (FAILED(static_cast<IDXGIOutput *>(output)->GetDesc(&desc))) {
        return false;
    }
    *left = static_cast<int32_t>(desc.DesktopCoordinates.left);
    *top = static_cast<int32_t>(desc.DesktopCoordinates.top);
    *width = static_cast<int32_t>(desc.DesktopCoordinates.right - desc.DesktopCoordinates.left);
    *height = static_cast<int32_t>(desc.DesktopCoordinates.bottom - desc.DesktopCoordinates.top);
    return true;
}

void win32_release_output(void *output) {
    static_cast<IDXGIOutput *>(output)->Release();
}
void win32_release_adapter(void *adapter) {
    static_cast<IDXGIAdapter1 *>(adapter)->Release();
}
void win32_release_factory(void *factory) {
    static_cast<IDXGIFactory1 *>(factory)->Release();
}

void win32_system_metrics(int32_t *width, int32_t *height) {
    *width = GetSystemMetrics(SM_CXSCREEN);
    *height = GetSystemMetrics(SM_CYSCREEN);
}

const display_enumerator kDxgiEnumerator{
    win32_create_factory, win32_enum_adapter,    win32_enum_output,     win32_get_desc,
    win32_release_output, win32_release_adapter, win32_release_factory, win32_system_metrics,
};
} // namespace

const display_enumerator &platform_display_enumerator() {
    return kDxgiEnumerator;
}

// The probe's audio question through COM and the Core Audio device
// enumerator: is there a default capture endpoint for the console role?
#include <windows.h>

#include <mmdeviceapi.h>
#include <objbase.h>

#include "platform/platform.h"

bool platform_default_capture_device_exists() {
    // On a thread that already belongs to a single-threaded apartment this
    // fails with RPC_E_CHANGED_MODE and the test runs in the host's
    // apartment; only an initialisation of our own (S_OK or S_FALSE) is
    // balanced, so the host's COM stays as it was.
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const bool balance = init == S_OK || init == S_FALSE;

    bool exists = false;
    IMMDeviceEnumerator *enumerator = nullptr;
    if (SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                   __uuidof(IMMDeviceEnumerator), reinterpret_cast<void **>(&enumerator))) &&
        enumerator != nullptr) {
        IMMDevice *device = nullptr;
        if (SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eCapture, eConsole, &device)) &&
            device != nullptr) {
            exists = true;
            device->Release();
        }
        enumerator->Release();
    }

    if (balance) {
        CoUninitialize();
    }
    return exists;
}

// One owner for a local handle: whatever path a function leaves by, the handle is released once.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <winsvc.h>

template <typename Traits>
class CScopedHandle {
public:
    typedef typename Traits::Type Type;

    explicit CScopedHandle(Type h = Traits::Empty()) : m_h(h) {}
    ~CScopedHandle() { Reset(); }

    CScopedHandle(const CScopedHandle&) = delete;
    CScopedHandle& operator=(const CScopedHandle&) = delete;

    Type Get() const { return m_h; }
    bool IsValid() const { return Traits::IsValid(m_h); }

    // Takes ownership of h, releasing what was held before.
    void Reset(Type h = Traits::Empty())
    {
        if (Traits::IsValid(m_h)) {
            Traits::Close(m_h);
        }
        m_h = h;
    }

    // For APIs that return the handle through an out-parameter.
    Type* Put()
    {
        Reset();
        return &m_h;
    }

    // Gives up ownership without releasing.
    Type Detach()
    {
        Type h = m_h;
        m_h = Traits::Empty();
        return h;
    }

private:
    Type m_h;
};

struct KernelHandleTraits {
    typedef HANDLE Type;
    static Type Empty() { return NULL; }
    static bool IsValid(Type h) { return h != NULL && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};

struct RegKeyTraits {
    typedef HKEY Type;
    static Type Empty() { return NULL; }
    static bool IsValid(Type h) { return h != NULL; }
    static void Close(Type h) { ::RegCloseKey(h); }
};

struct ScHandleTraits {
    typedef SC_HANDLE Type;
    static Type Empty() { return NULL; }
    static bool IsValid(Type h) { return h != NULL; }
    static void Close(Type h) { ::CloseServiceHandle(h); }
};

struct LocalMemTraits {
    typedef HLOCAL Type;
    static Type Empty() { return NULL; }
    static bool IsValid(Type h) { return h != NULL; }
    static void Close(Type h) { ::LocalFree(h); }
};

struct GlobalMemTraits {
    typedef HGLOBAL Type;
    static Type Empty() { return NULL; }
    static bool IsValid(Type h) { return h != NULL; }
    static void Close(Type h) { ::GlobalFree(h); }
};

struct DevInfoTraits {
    typedef HDEVINFO Type;
    static Type Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Type h) { return h != NULL && h != INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::SetupDiDestroyDeviceInfoList(h); }
};

struct SidTraits {
    typedef PSID Type;
    static Type Empty() { return NULL; }
    static bool IsValid(Type h) { return h != NULL; }
    static void Close(Type h) { ::FreeSid(h); }
};

struct EventSourceTraits {
    typedef HANDLE Type;
    static Type Empty() { return NULL; }
    static bool IsValid(Type h) { return h != NULL; }
    static void Close(Type h) { ::DeregisterEventSource(h); }
};

// For members whose type stays a raw handle: whether h is open, and closing it once.
inline bool IsOpenHandle(HANDLE h)
{
    return KernelHandleTraits::IsValid(h);
}

inline void CloseAndClear(HANDLE& h)
{
    if (KernelHandleTraits::IsValid(h)) {
        KernelHandleTraits::Close(h);
    }
    h = NULL;
}

typedef CScopedHandle<KernelHandleTraits> ScopedKernelHandle;
typedef CScopedHandle<RegKeyTraits> ScopedRegKey;
typedef CScopedHandle<ScHandleTraits> ScopedScHandle;
typedef CScopedHandle<LocalMemTraits> ScopedLocalMem;
typedef CScopedHandle<SidTraits> ScopedSid;
typedef CScopedHandle<GlobalMemTraits> ScopedGlobalMem;
typedef CScopedHandle<DevInfoTraits> ScopedDevInfo;
typedef CScopedHandle<EventSourceTraits> ScopedEventSource;

// A font or another GDI object the holder created.
struct GdiObjectTraits {
    typedef HGDIOBJ Type;
    static Type Empty() { return NULL; }
    static bool IsValid(Type h) { return h != NULL; }
    static void Close(Type h) { ::DeleteObject(h); }
};
typedef CScopedHandle<GdiObjectTraits> ScopedGdiObject;

// An icon the holder loaded or created (not a shared one).
struct IconTraits {
    typedef HICON Type;
    static Type Empty() { return NULL; }
    static bool IsValid(Type h) { return h != NULL; }
    static void Close(Type h) { ::DestroyIcon(h); }
};
typedef CScopedHandle<IconTraits> ScopedIcon;

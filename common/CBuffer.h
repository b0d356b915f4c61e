// A block of heap memory with one owner. Allocation failure is a result code (8), never an
// exception, so the callers keep the house's result-code style.
#pragma once

#include <windows.h>

class CBuffer {
public:
    CBuffer() : m_pData(NULL), m_cbSize(0) {}
    ~CBuffer() { Free(); }

    // Replaces the block with cbSize zeroed bytes; ERROR_NOT_ENOUGH_MEMORY leaves it empty.
    DWORD Allocate(SIZE_T cbSize);
    void Free();

    BYTE* Get() const { return m_pData; }
    SIZE_T Size() const { return m_cbSize; }
    // The block seen as an array of T (a frame header, a name).
    template <typename T>
    T* As() const
    {
        return reinterpret_cast<T*>(m_pData);
    }

private:
    CBuffer(const CBuffer&) = delete;
    CBuffer& operator=(const CBuffer&) = delete;

    BYTE* m_pData;
    SIZE_T m_cbSize;
};

#include "CBuffer.h"

DWORD CBuffer::Allocate(SIZE_T cbSize)
{
    Free();
    // Zeroed by the heap: large blocks come from fresh pages and are not touched here.
    m_pData = static_cast<BYTE*>(::HeapAlloc(::GetProcessHeap(), HEAP_ZERO_MEMORY, cbSize));
    if (m_pData == NULL) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    m_cbSize = cbSize;
    return ERROR_SUCCESS;
}

void CBuffer::Free()
{
    if (m_pData != NULL) {
        ::HeapFree(::GetProcessHeap(), 0, m_pData);
    }
    m_pData = NULL;
    m_cbSize = 0;
}

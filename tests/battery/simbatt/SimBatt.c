/*
 * A simulated battery for the tests: a legacy kernel driver that Wine loads into winedevice.exe.
 *
 * DriverEntry creates "Count" battery devices (Parameters\Count, 1 to 3, default 1). Device n
 * answers the battery class controls and the maker's refresh-state control, and registers
 * itself as the GUID_DEVICE_BATTERY interface ROOT\SIMBATT\000n so that the device-setup API
 * enumerates it. Every request re-reads the values under Parameters\Battery<n>, so a test
 * changes the battery at run time by writing the registry:
 *   Remaining, Full      remaining and full-charge capacity (defaults 40000, 50000);
 *                        0xFFFFFFFF is BATTERY_UNKNOWN_CAPACITY
 *   Name                 device name, REG_SZ (default "MIREL SIMBATT <n>")
 *   Psts                 status word answered to the refresh-state control (default 1)
 *   PstsBytes            bytes that control returns, 0 to 4 (default 4): a short answer
 *   Tag                  battery tag (default 1); 0 means no battery: controls that name a tag fail
 *   FailControl          a control code that fails ...
 *   FailStatus           ... with this NTSTATUS (default STATUS_UNSUCCESSFUL)
 *   Capabilities         BATTERY_INFORMATION.Capabilities (default BATTERY_SYSTEM_BATTERY); with
 *                        BATTERY_CAPACITY_RELATIVE, Remaining and Full are read as relative units
 *   Chemistry            four characters as a DWORD, first character in the low byte ("LION")
 *   PowerState           BATTERY_STATUS.PowerState (default BATTERY_POWER_ON_LINE)
 *   Rate                 BATTERY_STATUS.Rate, a signed value stored as a DWORD (default 0)
 *   EstimatedTime        answer to the BatteryEstimatedTime level; absent: the level is refused
 */
#include <ntddk.h>

/* The battery class's wire formats and codes (the driver kit's battery headers clash with ntddk.h). */
#define FILE_DEVICE_BATTERY_TYPE 0x29
#define IOCTL_BATTERY_QUERY_TAG 0x294040
#define IOCTL_BATTERY_QUERY_INFORMATION 0x294044
#define IOCTL_BATTERY_QUERY_STATUS 0x29404C
#define BATTERY_SYSTEM_BATTERY 0x80000000
#define BATTERY_POWER_ON_LINE 0x1
#define LEVEL_BATTERY_INFORMATION 0
#define LEVEL_BATTERY_DEVICE_NAME 4
#define LEVEL_BATTERY_ESTIMATED_TIME 3
#define SIMBATT_NO_VALUE 0xFFFFFFFF

typedef struct _BATTERY_QUERY_INFORMATION {
    ULONG BatteryTag;
    ULONG InformationLevel;
    ULONG AtRate;
} BATTERY_QUERY_INFORMATION;

typedef struct _BATTERY_INFORMATION {
    ULONG Capabilities;
    UCHAR Technology;
    UCHAR Reserved[3];
    UCHAR Chemistry[4];
    ULONG DesignedCapacity;
    ULONG FullChargedCapacity;
    ULONG DefaultAlert1;
    ULONG DefaultAlert2;
    ULONG CriticalBias;
    ULONG CycleCount;
} BATTERY_INFORMATION;

typedef struct _BATTERY_WAIT_STATUS {
    ULONG BatteryTag;
    ULONG Timeout;
    ULONG PowerState;
    ULONG LowCapacity;
    ULONG HighCapacity;
} BATTERY_WAIT_STATUS;

typedef struct _BATTERY_STATUS {
    ULONG PowerState;
    ULONG Capacity;
    ULONG Voltage;
    LONG Rate;
} BATTERY_STATUS;

int __cdecl _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...);

#define SIMBATT_MAX_DEVICES 3
#define SIMBATT_POOL_TAG 'tabS'
#define SIMBATT_NAME_CHARS 128
#define IOCTL_CALL__PSTS 0x296058

#define INTERFACE_GUID L"{72631e54-78a4-11d0-bcf7-00aa00b7b32a}"
#define CCS L"\\Registry\\Machine\\System\\CurrentControlSet"

typedef struct _SIMBATT_EXT {
    ULONG Index;
} SIMBATT_EXT;

typedef struct _SIMBATT_CONFIG {
    ULONG Remaining;
    ULONG Full;
    ULONG Psts;
    ULONG PstsBytes;
    ULONG Tag;
    ULONG FailControl;
    ULONG FailStatus;
    ULONG Capabilities;
    ULONG Chemistry;
    ULONG PowerState;
    ULONG Rate;
    ULONG EstimatedTime;
    WCHAR Name[SIMBATT_NAME_CHARS];
} SIMBATT_CONFIG;

static WCHAR g_ParamsPath[512];
static ULONG g_Count;

/* ---- registry helpers ---- */

static NTSTATUS OpenKey(PCWSTR path, BOOLEAN create, ULONG options, HANDLE* key)
{
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    RtlInitUnicodeString(&name, path);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (create) {
        return ZwCreateKey(key, KEY_ALL_ACCESS, &oa, 0, NULL, options, NULL);
    }
    return ZwOpenKey(key, KEY_READ, &oa);
}

static void SetValue(HANDLE key, PCWSTR valueName, ULONG type, const void* data, ULONG size)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ZwSetValueKey(key, &name, 0, type, (PVOID)data, size);
}

static void SetString(HANDLE key, PCWSTR valueName, PCWSTR text)
{
    SetValue(key, valueName, REG_SZ, text, (ULONG)((wcslen(text) + 1) * sizeof(WCHAR)));
}

/* Reads a value into buffer; returns its data length, 0 when absent or of another type. */
static ULONG QueryValue(HANDLE key, PCWSTR valueName, ULONG type, void* buffer, ULONG size)
{
    UCHAR raw[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + SIMBATT_NAME_CHARS * sizeof(WCHAR)];
    PKEY_VALUE_PARTIAL_INFORMATION info = (PKEY_VALUE_PARTIAL_INFORMATION)raw;
    UNICODE_STRING name;
    ULONG got = 0;
    RtlInitUnicodeString(&name, valueName);
    if (!NT_SUCCESS(ZwQueryValueKey(key, &name, KeyValuePartialInformation, info, sizeof(raw), &got)) ||
        info->Type != type) {
        return 0;
    }
    if (info->DataLength < size) {
        size = info->DataLength;
    }
    memcpy(buffer, info->Data, size);
    return size;
}

static void QueryDword(HANDLE key, PCWSTR valueName, ULONG* value)
{
    ULONG v = 0;
    if (QueryValue(key, valueName, REG_DWORD, &v, sizeof(v)) == sizeof(v)) {
        *value = v;
    }
}

static void ReadConfig(ULONG index, SIMBATT_CONFIG* cfg)
{
    WCHAR path[600];
    HANDLE key;
    memset(cfg, 0, sizeof(*cfg));
    cfg->Remaining = 40000;
    cfg->Full = 50000;
    cfg->Psts = 1;
    cfg->PstsBytes = sizeof(ULONG);
    cfg->Tag = 1;
    cfg->FailStatus = (ULONG)STATUS_UNSUCCESSFUL;
    cfg->Capabilities = BATTERY_SYSTEM_BATTERY;
    memcpy(&cfg->Chemistry, "LION", 4);
    cfg->PowerState = BATTERY_POWER_ON_LINE;
    cfg->EstimatedTime = SIMBATT_NO_VALUE;
    _snwprintf(cfg->Name, SIMBATT_NAME_CHARS - 1, L"MIREL SIMBATT %lu", index);

    _snwprintf(path, 599, L"%s\\Battery%lu", g_ParamsPath, index);
    path[599] = 0;
    if (!NT_SUCCESS(OpenKey(path, FALSE, 0, &key))) {
        return;
    }
    QueryDword(key, L"Remaining", &cfg->Remaining);
    QueryDword(key, L"Full", &cfg->Full);
    QueryDword(key, L"Psts", &cfg->Psts);
    QueryDword(key, L"PstsBytes", &cfg->PstsBytes);
    QueryDword(key, L"Tag", &cfg->Tag);
    QueryDword(key, L"FailControl", &cfg->FailControl);
    QueryDword(key, L"FailStatus", &cfg->FailStatus);
    QueryDword(key, L"Capabilities", &cfg->Capabilities);
    QueryDword(key, L"Chemistry", &cfg->Chemistry);
    QueryDword(key, L"PowerState", &cfg->PowerState);
    QueryDword(key, L"Rate", &cfg->Rate);
    QueryDword(key, L"EstimatedTime", &cfg->EstimatedTime);
    {
        /* The stored text need not carry its terminator. */
        WCHAR name[SIMBATT_NAME_CHARS];
        memset(name, 0, sizeof(name));
        if (QueryValue(key, L"Name", REG_SZ, name, sizeof(name) - sizeof(WCHAR)) > 0) {
            memcpy(cfg->Name, name, sizeof(name));
        }
    }
    ZwClose(key);
}

/* ---- device-interface registration, as the device-setup API reads it ---- */

/* Creates every key of the path one level at a time; the last one with the given options. */
static NTSTATUS CreateKeyPath(PCWSTR path, ULONG lastOptions, HANDLE* key)
{
    WCHAR partial[600];
    size_t len = wcslen(path);
    size_t i;
    NTSTATUS status = STATUS_SUCCESS;
    if (len >= 600) {
        return STATUS_NAME_TOO_LONG;
    }
    for (i = wcslen(CCS) + 1; i <= len; ++i) {
        if (path[i] == L'\\' || path[i] == 0) {
            HANDLE k;
            memcpy(partial, path, i * sizeof(WCHAR));
            partial[i] = 0;
            status = OpenKey(partial, TRUE, (path[i] == 0) ? lastOptions : 0, &k);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            if (path[i] == 0) {
                *key = k;
            } else {
                ZwClose(k);
            }
        }
    }
    return status;
}

static void SetLinked(ULONG index, ULONG linked)
{
    WCHAR path[600];
    HANDLE key;
    _snwprintf(path, 599,
               CCS L"\\Control\\DeviceClasses\\" INTERFACE_GUID L"\\##?#ROOT#SIMBATT#%04lu#" INTERFACE_GUID
                   L"\\#\\Control",
               index);
    path[599] = 0;
    if (NT_SUCCESS(CreateKeyPath(path, REG_OPTION_VOLATILE, &key))) {
        SetValue(key, L"Linked", REG_DWORD, &linked, sizeof(linked));
        ZwClose(key);
    }
}

static void RegisterInterface(ULONG index)
{
    WCHAR path[600];
    WCHAR text[200];
    HANDLE key;

    _snwprintf(path, 599, CCS L"\\Enum\\ROOT\\SIMBATT\\%04lu", index);
    path[599] = 0;
    if (NT_SUCCESS(CreateKeyPath(path, 0, &key))) {
        SetString(key, L"ClassGUID", L"{72631E54-78A4-11D0-BCF7-00AA00B7B32A}");
        SetString(key, L"DeviceDesc", L"Mirel simulated battery");
        ZwClose(key);
    }

    _snwprintf(path, 599,
               CCS L"\\Control\\DeviceClasses\\" INTERFACE_GUID L"\\##?#ROOT#SIMBATT#%04lu#" INTERFACE_GUID,
               index);
    path[599] = 0;
    if (NT_SUCCESS(CreateKeyPath(path, 0, &key))) {
        _snwprintf(text, 199, L"ROOT\\SIMBATT\\%04lu", index);
        text[199] = 0;
        SetString(key, L"DeviceInstance", text);
        ZwClose(key);
    }
    _snwprintf(path, 599,
               CCS L"\\Control\\DeviceClasses\\" INTERFACE_GUID L"\\##?#ROOT#SIMBATT#%04lu#" INTERFACE_GUID
                   L"\\#",
               index);
    path[599] = 0;
    if (NT_SUCCESS(CreateKeyPath(path, 0, &key))) {
        _snwprintf(text, 199, L"\\\\?\\ROOT#SIMBATT#%04lu#" INTERFACE_GUID, index);
        text[199] = 0;
        SetString(key, L"SymbolicLink", text);
        ZwClose(key);
    }
    SetLinked(index, 1);
}

/* ---- requests ---- */

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_SUCCESS(status) ? information : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS DispatchSimple(PDEVICE_OBJECT device, PIRP irp)
{
    return Complete(irp, STATUS_SUCCESS, 0);
}

/* The tag given with a query must name the battery that is present. */
static BOOLEAN TagMatches(const SIMBATT_CONFIG* cfg, ULONG tag)
{
    return cfg->Tag != 0 && tag == cfg->Tag;
}

static NTSTATUS QueryInformation(const SIMBATT_CONFIG* cfg, const BATTERY_QUERY_INFORMATION* query,
                                 void* out, ULONG outLen, ULONG_PTR* written)
{
    if (!TagMatches(cfg, query->BatteryTag)) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (query->InformationLevel == LEVEL_BATTERY_INFORMATION) {
        BATTERY_INFORMATION info;
        if (outLen < sizeof(info)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memset(&info, 0, sizeof(info));
        info.Capabilities = cfg->Capabilities;
        info.Technology = 1;
        memcpy(info.Chemistry, &cfg->Chemistry, 4);
        info.DesignedCapacity = cfg->Full;
        info.FullChargedCapacity = cfg->Full;
        memcpy(out, &info, sizeof(info));
        *written = sizeof(info);
        return STATUS_SUCCESS;
    }
    if (query->InformationLevel == LEVEL_BATTERY_ESTIMATED_TIME && cfg->EstimatedTime != SIMBATT_NO_VALUE) {
        if (outLen < sizeof(ULONG)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(out, &cfg->EstimatedTime, sizeof(ULONG));
        *written = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    if (query->InformationLevel == LEVEL_BATTERY_DEVICE_NAME) {
        ULONG bytes = (ULONG)((wcslen(cfg->Name) + 1) * sizeof(WCHAR));
        if (outLen < bytes) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        memcpy(out, cfg->Name, bytes);
        *written = bytes;
        return STATUS_SUCCESS;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

static NTSTATUS HandleControl(ULONG index, ULONG code, void* buf, ULONG inLen, ULONG outLen,
                              ULONG_PTR* written)
{
    SIMBATT_CONFIG cfg;
    ReadConfig(index, &cfg);
    if (cfg.FailControl != 0 && cfg.FailControl == code) {
        return (NTSTATUS)cfg.FailStatus;
    }
    switch (code) {
    case IOCTL_BATTERY_QUERY_TAG:
        if (outLen < sizeof(ULONG)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (cfg.Tag == 0) {
            return STATUS_NO_SUCH_DEVICE;
        }
        *(ULONG*)buf = cfg.Tag;
        *written = sizeof(ULONG);
        return STATUS_SUCCESS;
    case IOCTL_BATTERY_QUERY_INFORMATION:
        if (inLen < sizeof(BATTERY_QUERY_INFORMATION)) {
            return STATUS_INVALID_PARAMETER;
        } else {
            BATTERY_QUERY_INFORMATION query;
            memcpy(&query, buf, sizeof(query));
            return QueryInformation(&cfg, &query, buf, outLen, written);
        }
    case IOCTL_BATTERY_QUERY_STATUS:
        if (inLen < sizeof(BATTERY_WAIT_STATUS) || outLen < sizeof(BATTERY_STATUS)) {
            return STATUS_INVALID_PARAMETER;
        } else {
            BATTERY_STATUS status;
            if (!TagMatches(&cfg, ((BATTERY_WAIT_STATUS*)buf)->BatteryTag)) {
                return STATUS_NO_SUCH_DEVICE;
            }
            status.PowerState = cfg.PowerState;
            status.Capacity = cfg.Remaining;
            status.Voltage = 12000;
            status.Rate = (LONG)cfg.Rate;
            memcpy(buf, &status, sizeof(status));
            *written = sizeof(status);
            return STATUS_SUCCESS;
        }
    case IOCTL_CALL__PSTS:
        if (outLen < sizeof(ULONG)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        *(ULONG*)buf = cfg.Psts;
        *written = (cfg.PstsBytes < sizeof(ULONG)) ? cfg.PstsBytes : sizeof(ULONG);
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

static NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const SIMBATT_EXT* ext = (const SIMBATT_EXT*)device->DeviceExtension;
    ULONG_PTR written = 0;
    NTSTATUS status = HandleControl(ext->Index, stack->Parameters.DeviceIoControl.IoControlCode,
                                    irp->AssociatedIrp.SystemBuffer,
                                    stack->Parameters.DeviceIoControl.InputBufferLength,
                                    stack->Parameters.DeviceIoControl.OutputBufferLength, &written);
    return Complete(irp, status, written);
}

/* ---- load and unload ---- */

static void LinkName(ULONG index, WCHAR* text, size_t chars)
{
    _snwprintf(text, chars - 1, L"\\??\\ROOT#SIMBATT#%04lu#" INTERFACE_GUID, index);
    text[chars - 1] = 0;
}

static void DriverUnload(PDRIVER_OBJECT driver)
{
    WCHAR text[200];
    UNICODE_STRING link;
    ULONG i;
    for (i = 0; i < g_Count; ++i) {
        SetLinked(i, 0);
        LinkName(i, text, 200);
        RtlInitUnicodeString(&link, text);
        IoDeleteSymbolicLink(&link);
    }
    while (driver->DeviceObject != NULL) {
        IoDeleteDevice(driver->DeviceObject);
    }
}

static NTSTATUS CreateBattery(PDRIVER_OBJECT driver, ULONG index)
{
    WCHAR devText[64];
    WCHAR linkText[200];
    UNICODE_STRING devName;
    UNICODE_STRING link;
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status;

    _snwprintf(devText, 63, L"\\Device\\MirelSimBatt%lu", index);
    devText[63] = 0;
    RtlInitUnicodeString(&devName, devText);
    status = IoCreateDevice(driver, sizeof(SIMBATT_EXT), &devName, FILE_DEVICE_BATTERY_TYPE, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ((SIMBATT_EXT*)device->DeviceExtension)->Index = index;
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    LinkName(index, linkText, 200);
    RtlInitUnicodeString(&link, linkText);
    status = IoCreateSymbolicLink(&link, &devName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RegisterInterface(index);
    return STATUS_SUCCESS;
}

static ULONG ReadCount(void)
{
    HANDLE key;
    ULONG count = 1;
    if (NT_SUCCESS(OpenKey(g_ParamsPath, FALSE, 0, &key))) {
        QueryDword(key, L"Count", &count);
        ZwClose(key);
    }
    if (count < 1) {
        count = 1;
    }
    return (count > SIMBATT_MAX_DEVICES) ? SIMBATT_MAX_DEVICES : count;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    ULONG chars = registryPath->Length / sizeof(WCHAR);
    ULONG i;
    if (chars > 400) {
        return STATUS_NAME_TOO_LONG;
    }
    memcpy(g_ParamsPath, registryPath->Buffer, chars * sizeof(WCHAR));
    memcpy(g_ParamsPath + chars, L"\\Parameters", sizeof(L"\\Parameters"));

    driver->MajorFunction[IRP_MJ_CREATE] = DispatchSimple;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchSimple;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchSimple;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->DriverUnload = DriverUnload;

    g_Count = ReadCount();
    for (i = 0; i < g_Count; ++i) {
        NTSTATUS status = CreateBattery(driver, i);
        if (!NT_SUCCESS(status)) {
            g_Count = i + 1;
            DriverUnload(driver);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

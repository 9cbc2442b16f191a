// Test fixture: a kernel driver that Wine's winedevice loads as a service
// and that serves the device \\.\QUELTVXD with the two control codes 0x802
// (what is held for one drive) and 0x804 (state).
//
// Every open and every request is appended to driver.log. The answers come from the
// optional script driver.cfg, read at each request, one answer a line:
//
//   status <ok> <reply>               the answer to 0x804
//   mapping <ok> <name|*> <reply>     the answer to 0x802 for that name
//                                     (all 64 request bytes up to the first
//                                     zero byte), or for any name with *
//
// <ok> is 1 (the request succeeds, the reply bytes are written to the front
// of the output record) or 0 (it fails, nothing is written); <name> and
// <reply> are hex bytes, "-" for none. Without a matching line the driver
// answers from the provider's connection table: 0x804 gives the count of
// connections out of 26 drive letters with both state bits set, and 0x802
// gives the connection whose local name is the request's (any case), with
// the server and export taken from the remote name \\host\server\export,
// or fails when there is none.
// wdm.h defines two interlocked helpers that intrin.h, which it includes,
// already defines for C++; its own copies are renamed out of the way.
#include <intrin.h>
#define InterlockedBitTestAndSet wdm_InterlockedBitTestAndSet
#define InterlockedBitTestAndReset wdm_InterlockedBitTestAndReset
#include <ddk/wdm.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset

#include "fixture_files.h"

#define NT_FIXTURE_DIR L"\\??\\" FIXTURE_DIR L"\\"

namespace {

const ULONG IOCTL_QUERY_MAPPING = 0x802;
const ULONG IOCTL_QUERY_STATUS = 0x804;
const ULONG REQUEST_SIZE = 64;
const ULONG MAPPING_REPLY_SIZE = 908;
const ULONG FILE_CAPACITY = 65536;

// Request handling is serial in winedevice, so one set of buffers is enough.
char script_bytes[FILE_CAPACITY];
char table_bytes[FILE_CAPACITY];
unsigned char reply[FILE_CAPACITY];
char log_line[4 * FILE_CAPACITY];

void open_attributes(OBJECT_ATTRIBUTES *attributes, UNICODE_STRING *name, const wchar_t *path)
{
    RtlInitUnicodeString(name, path);
    InitializeObjectAttributes(attributes, name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL,
                               NULL);
}

// The whole file into `out` (terminated); 0 bytes when it does not exist.
ULONG read_file(const wchar_t *path, char *out)
{
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    HANDLE file;
    open_attributes(&attributes, &name, path);
    out[0] = '\0';
    if (!NT_SUCCESS(ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, NULL,
                                 FILE_ATTRIBUTE_NORMAL,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0)))
        return 0;
    ULONG length = 0;
    if (NT_SUCCESS(ZwReadFile(file, NULL, NULL, NULL, &io, out, FILE_CAPACITY - 1, NULL, NULL)))
        length = static_cast<ULONG>(io.Information);
    ZwClose(file);
    out[length] = '\0';
    return length;
}

void append_file(const wchar_t *path, const char *text, ULONG length)
{
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES attributes;
    IO_STATUS_BLOCK io;
    HANDLE file;
    open_attributes(&attributes, &name, path);
    if (!NT_SUCCESS(ZwCreateFile(&file, FILE_APPEND_DATA | SYNCHRONIZE, &attributes, &io, NULL,
                                 FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 FILE_OPEN_IF,
                                 FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0)))
        return;
    LARGE_INTEGER end;
    end.HighPart = -1;
    end.LowPart = FILE_WRITE_TO_END_OF_FILE;
    ZwWriteFile(file, NULL, NULL, NULL, &io, const_cast<char *>(text), length, &end, NULL);
    ZwClose(file);
}

struct Log {
    size_t length = 0;

    void add(const char *s)
    {
        while (*s && length + 2 < sizeof log_line)
            log_line[length++] = *s++;
    }

    void number(ULONG n)
    {
        char digits[16];
        int i = 15;
        digits[i] = '\0';
        do {
            digits[--i] = static_cast<char>('0' + n % 10);
            n /= 10;
        } while (n != 0);
        add(digits + i);
    }

    void hex(const unsigned char *bytes, ULONG count)
    {
        static const char digits[] = "0123456789abcdef";
        if (count == 0)
            add("-");
        for (ULONG i = 0; i < count && length + 3 < sizeof log_line; ++i) {
            log_line[length++] = digits[bytes[i] >> 4];
            log_line[length++] = digits[bytes[i] & 15];
        }
    }

    void write()
    {
        log_line[length++] = '\n';
        append_file(NT_FIXTURE_DIR DRIVER_LOG_FILE, log_line, static_cast<ULONG>(length));
    }
};

void log_event(const char *what)
{
    Log log;
    log.add(what);
    log.write();
}

// A cursor over a whitespace-separated line of the script.
struct Words {
    const char *at;

    bool end_of_line()
    {
        while (*at == ' ' || *at == '\t' || *at == '\r')
            ++at;
        return *at == '\0' || *at == '\n';
    }

    bool word(const char **start, size_t *length)
    {
        if (end_of_line())
            return false;
        *start = at;
        while (*at && *at != ' ' && *at != '\t' && *at != '\r' && *at != '\n')
            ++at;
        *length = static_cast<size_t>(at - *start);
        return true;
    }

    void next_line()
    {
        while (*at && *at != '\n')
            ++at;
        if (*at == '\n')
            ++at;
    }
};

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Decodes a hex word ("-" is no bytes) into `out`; the count, or -1.
long decode(const char *word, size_t length, unsigned char *out, size_t capacity)
{
    if (length == 1 && word[0] == '-')
        return 0;
    if (length % 2 != 0 || length / 2 > capacity)
        return -1;
    for (size_t i = 0; i < length; i += 2) {
        int high = hex_value(word[i]), low = hex_value(word[i + 1]);
        if (high < 0 || low < 0)
            return -1;
        out[i / 2] = static_cast<unsigned char>(high * 16 + low);
    }
    return static_cast<long>(length / 2);
}

bool same(const char *word, size_t length, const char *text)
{
    size_t i = 0;
    for (; i < length; ++i)
        if (text[i] != word[i])
            return false;
    return text[i] == '\0';
}

struct Answer {
    bool found;
    bool ok;
    ULONG length; // reply bytes in `reply`
};

// The script's answer for `kind`; for mappings, `name` is the request's.
Answer scripted(const char *kind, const unsigned char *name, size_t name_length)
{
    Answer answer = {false, false, 0};
    if (read_file(NT_FIXTURE_DIR DRIVER_SCRIPT_FILE, script_bytes) == 0)
        return answer;
    Words words = {script_bytes};
    for (; *words.at; words.next_line()) {
        const char *word;
        size_t length;
        if (!words.word(&word, &length) || !same(word, length, kind))
            continue;
        if (!words.word(&word, &length) || length != 1 || (word[0] != '0' && word[0] != '1'))
            continue;
        bool ok = word[0] == '1';
        if (name != NULL) {
            unsigned char key[REQUEST_SIZE];
            if (!words.word(&word, &length))
                continue;
            bool any = length == 1 && word[0] == '*';
            long key_length = any ? 0 : decode(word, length, key, sizeof key);
            if (!any && (key_length != static_cast<long>(name_length) ||
                         memcmp(key, name, name_length) != 0))
                continue;
        }
        if (!words.word(&word, &length))
            continue;
        long count = decode(word, length, reply, sizeof reply);
        if (count < 0)
            continue;
        answer.found = true;
        answer.ok = ok;
        answer.length = static_cast<ULONG>(count);
        return answer;
    }
    return answer;
}

void put_word(ULONG value, unsigned char *at)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Copies at most capacity - 1 bytes of [start, end) and a zero byte.
void put_text(const char *start, const char *end, unsigned char *at, size_t capacity)
{
    size_t i = 0;
    for (; start + i < end && i + 1 < capacity; ++i)
        at[i] = static_cast<unsigned char>(start[i]);
    at[i] = 0;
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

Answer from_table(bool status, const unsigned char *name, size_t name_length)
{
    Answer answer = {true, false, 0};
    read_file(NT_FIXTURE_DIR CONNECTIONS_FILE, table_bytes);
    ULONG count = 0;
    for (const char *line = table_bytes; *line;) {
        const char *end = line;
        while (*end && *end != '\n')
            ++end;
        const char *tab = line;
        while (tab < end && *tab != '\t')
            ++tab;
        if (tab < end) {
            ++count;
            bool match = !status && static_cast<size_t>(tab - line) == name_length;
            for (size_t i = 0; match && i < name_length; ++i)
                match = lower(line[i]) == lower(static_cast<char>(name[i]));
            if (match) {
                // \\host\server\export...: the server is the second
                // component, the export everything after it.
                const char *remote = tab + 1;
                const char *p = remote;
                while (p < end && *p == '\\')
                    ++p;
                while (p < end && *p != '\\')
                    ++p;
                const char *server = p < end ? p + 1 : end;
                const char *server_end = server;
                while (server_end < end && *server_end != '\\')
                    ++server_end;
                const char *export_path = server_end < end ? server_end + 1 : end;
                memset(reply, 0, MAPPING_REPLY_SIZE);
                put_text(line, tab, reply + 8, 64);
                put_text(remote, end, reply + 72, 448);
                put_text(server, server_end, reply + 520, 128);
                put_text(export_path, end, reply + 648, 260);
                answer.ok = true;
                answer.length = MAPPING_REPLY_SIZE;
                return answer;
            }
        }
        line = *end ? end + 1 : end;
    }
    if (status) {
        memset(reply, 0, 16);
        put_word(count, reply + 4);
        put_word(26, reply + 8);
        put_word(3, reply + 12);
        answer.ok = true;
        answer.length = 16;
    }
    return answer;
}

NTSTATUS complete(IRP *irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Only the open is logged: CreateFile waits for it, but Wine delivers the
// close after CloseHandle has returned, even after the program has ended,
// so a logged close would land in the next run's log.
NTSTATUS NTAPI on_open(DEVICE_OBJECT *, IRP *irp)
{
    log_event("create");
    return complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI on_close(DEVICE_OBJECT *, IRP *irp) { return complete(irp, STATUS_SUCCESS, 0); }

NTSTATUS NTAPI on_control(DEVICE_OBJECT *, IRP *irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;

    // Buffered and direct requests both bring their input in SystemBuffer;
    // a buffered one also takes its output there, so read the input first.
    static unsigned char input[FILE_CAPACITY];
    ULONG in_kept = in_size < sizeof input ? in_size : sizeof input;
    if (irp->AssociatedIrp.SystemBuffer != NULL && in_kept != 0)
        memcpy(input, irp->AssociatedIrp.SystemBuffer, in_kept);
    else
        in_kept = 0;

    Answer answer = {true, false, 0};
    if (code == IOCTL_QUERY_STATUS) {
        answer = scripted("status", NULL, 0);
        if (!answer.found)
            answer = from_table(true, NULL, 0);
    } else if (code == IOCTL_QUERY_MAPPING && in_kept != 0) {
        size_t name_length = 0;
        while (name_length < in_kept && name_length < REQUEST_SIZE && input[name_length])
            ++name_length;
        answer = scripted("mapping", input, name_length);
        if (!answer.found)
            answer = from_table(false, input, name_length);
    }

    void *out = NULL;
    if ((code & 3) == METHOD_BUFFERED)
        out = irp->AssociatedIrp.SystemBuffer;
    else if (((code & 3) == METHOD_IN_DIRECT || (code & 3) == METHOD_OUT_DIRECT) &&
             irp->MdlAddress != NULL)
        out = MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);

    ULONG written = 0;
    if (answer.ok && out != NULL) {
        written = answer.length < out_size ? answer.length : out_size;
        memcpy(out, reply, written);
    }

    Log log;
    log.add("ioctl code=");
    log.number(code);
    log.add(" in=");
    log.number(in_size);
    log.add(" out=");
    log.number(out_size);
    log.add(" data=");
    log.hex(input, in_kept);
    log.add(answer.ok ? " -> ok " : " -> failed ");
    log.number(written);
    log.write();

    return complete(irp, answer.ok ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, written);
}

const wchar_t DEVICE_NAME[] = L"\\Device\\QUELTVXD";
const wchar_t LINK_NAME[] = L"\\DosDevices\\QUELTVXD";

void NTAPI on_unload(DRIVER_OBJECT *driver)
{
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, LINK_NAME);
    IoDeleteSymbolicLink(&link);
    if (driver->DeviceObject != NULL)
        IoDeleteDevice(driver->DeviceObject);
    log_event("unload");
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT *driver, UNICODE_STRING *)
{
    UNICODE_STRING device_name, link;
    RtlInitUnicodeString(&device_name, DEVICE_NAME);
    RtlInitUnicodeString(&link, LINK_NAME);
    DEVICE_OBJECT *device;
    NTSTATUS status = IoCreateDevice(driver, 0, &device_name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                     &device);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink(&link, &device_name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = on_open;
    driver->MajorFunction[IRP_MJ_CLEANUP] = on_close;
    driver->MajorFunction[IRP_MJ_CLOSE] = on_close;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = on_control;
    driver->DriverUnload = on_unload;
    log_event("load");
    return STATUS_SUCCESS;
}

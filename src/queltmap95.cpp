// queltmap95: command-line companion of the QueltNFS95 network file system
// client for Windows 95. It connects and cancels drive letters through the
// client's network provider (only ever through the multiple provider
// router), asks the client's QUELTVXD driver for its state, re-creates the
// connections of the mappings file at start-up and registers that start-up
// command under the Run key.
//
// One run performs at most one command; the command's result is the exit
// status: 0 success, 1 failure, 2 usage text printed.

#include <windows.h>
#include <winnetwk.h>

#include <stddef.h>
#include <stdio.h>
#include <string.h>

// The name the provider is registered under with the router; also the name
// of our Run value.
static const char PROVIDER_NAME[] = "QueltNFS95";

static const char RUN_KEY_PATH[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
static const char MAPPINGS_SUFFIX[] = "\\QUELT95\\mappings.ini";

// The driver's device and its two control codes. The codes are plain
// numbers agreed with the driver, not CTL_CODE values.
static const char VXD_DEVICE_PATH[] = "\\\\.\\QUELTVXD";
static const DWORD IOCTL_QUERY_MAPPING = 0x802;
static const DWORD IOCTL_QUERY_STATUS = 0x804;

// Bits of vxd_status_reply::state_flags; all other bits mean nothing to us.
static const DWORD VXD_IFS_SCAFFOLD_READY = 0x1;
static const DWORD VXD_REGISTRATION_PREPARED = 0x2;

// Records shared with the driver, byte for byte.
struct vxd_mapping_request {
    char local_name[64];
};

struct vxd_mapping_reply {
    unsigned char unused[8];
    char local_name[64];
    char remote_name[448];
    char server_name[128];
    char export_path[260];
};

struct vxd_status_reply {
    DWORD unused;
    DWORD mapping_count;
    DWORD mapping_total;
    DWORD state_flags;
};

static_assert(sizeof(DWORD) == 4, "DWORD must be 32 bits");
static_assert(sizeof(vxd_mapping_request) == 64, "mapping request is 64 bytes");
static_assert(sizeof(vxd_mapping_reply) == 908, "mapping reply is 908 bytes");
static_assert(offsetof(vxd_mapping_reply, local_name) == 8, "local_name at 8");
static_assert(offsetof(vxd_mapping_reply, remote_name) == 72, "remote_name at 72");
static_assert(offsetof(vxd_mapping_reply, server_name) == 520, "server_name at 520");
static_assert(offsetof(vxd_mapping_reply, export_path) == 648, "export_path at 648");
static_assert(sizeof(vxd_status_reply) == 16, "status reply is 16 bytes");
static_assert(offsetof(vxd_status_reply, mapping_count) == 4, "mapping_count at 4");
static_assert(offsetof(vxd_status_reply, mapping_total) == 8, "mapping_total at 8");
static_assert(offsetof(vxd_status_reply, state_flags) == 12, "state_flags at 12");

// A mapping reply followed by one zero byte that the driver never sees. A
// driver must end each string inside the record; when it does not, the
// string stops at this byte, so nothing beyond the record is ever read.
struct terminated_mapping_reply {
    vxd_mapping_reply reply;
    char end;
};

static_assert(offsetof(terminated_mapping_reply, end) == sizeof(vxd_mapping_reply),
              "the stop byte follows the reply directly");

static void usage(void)
{
    puts("QueltMap95");
    puts("Usage:");
    puts("  QueltMap95 /map R: \\\\QueltNFS\\\\server\\\\export_path");
    puts("  QueltMap95 /unmap R:");
    puts("  QueltMap95 /status [R:]");
    puts("  QueltMap95 /startup");
    puts("  QueltMap95 /install-startup");
}

static int map_drive(const char *local_name, const char *remote_name)
{
    // The router takes non-const strings but does not change them.
    NETRESOURCEA resource;
    resource.dwScope = 0;
    resource.dwType = RESOURCETYPE_DISK;
    resource.dwDisplayType = 0;
    resource.dwUsage = 0;
    resource.lpLocalName = const_cast<char *>(local_name);
    resource.lpRemoteName = const_cast<char *>(remote_name);
    resource.lpComment = NULL;
    resource.lpProvider = const_cast<char *>(PROVIDER_NAME);

    DWORD result = WNetAddConnection3A(NULL, &resource, NULL, NULL, CONNECT_UPDATE_PROFILE);
    if (result != NO_ERROR) {
        // DWORD is 32 bits everywhere; unsigned long may be wider.
        printf("map failed: %lu\n", static_cast<unsigned long>(result));
        return 1;
    }
    printf("%s mapped to %s\n", local_name, remote_name);
    return 0;
}

static int unmap_drive(const char *name)
{
    DWORD result = WNetCancelConnection2A(name, CONNECT_UPDATE_PROFILE, TRUE);
    if (result != NO_ERROR) {
        printf("unmap failed: %lu\n", static_cast<unsigned long>(result));
        return 1;
    }
    printf("%s unmapped\n", name);
    return 0;
}

// Opened for neither reading nor writing: a VxD device takes control
// requests only. No overlapped flag, so every request is synchronous.
static HANDLE open_vxd(void)
{
    return CreateFileA(VXD_DEVICE_PATH, 0, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

static int print_vxd_status(void)
{
    HANDLE device = open_vxd();
    if (device == INVALID_HANDLE_VALUE) {
        puts("QUELTVXD not loaded");
        return 1;
    }

    vxd_status_reply reply;
    memset(&reply, 0, sizeof reply);
    DWORD returned = 0; // never read: unwritten reply bytes stay zero
    BOOL answered = DeviceIoControl(device, IOCTL_QUERY_STATUS, NULL, 0, &reply, sizeof reply,
                                    &returned, NULL);
    CloseHandle(device);

    if (!answered) {
        puts("QUELTVXD status query failed");
        return 1;
    }
    printf("QUELTVXD loaded, %lu/%lu mappings\n", static_cast<unsigned long>(reply.mapping_count),
           static_cast<unsigned long>(reply.mapping_total));
    printf("IFS scaffold: %s, registration: %s\n",
           (reply.state_flags & VXD_IFS_SCAFFOLD_READY) ? "ready" : "not ready",
           (reply.state_flags & VXD_REGISTRATION_PREPARED) ? "prepared" : "not prepared");
    return 0;
}

static int print_vxd_mapping(const char *drive_name)
{
    HANDLE device = open_vxd();
    if (device == INVALID_HANDLE_VALUE) {
        puts("QUELTVXD not loaded");
        return 1;
    }

    vxd_mapping_request request;
    terminated_mapping_reply answer;
    memset(&request, 0, sizeof request);
    memset(&answer, 0, sizeof answer);

    if (drive_name == NULL)
        drive_name = "";
    // At most 63 characters and a zero byte; a longer name is cut here only.
    lstrcpynA(request.local_name, drive_name, sizeof request.local_name);

    DWORD returned = 0; // never read: unwritten reply bytes stay zero
    BOOL answered = DeviceIoControl(device, IOCTL_QUERY_MAPPING, &request, sizeof request,
                                    &answer.reply, sizeof answer.reply, &returned, NULL);
    CloseHandle(device);

    if (!answered) {
        printf("%s is not mapped in QUELTVXD\n", drive_name);
        return 1;
    }
    printf("%s -> %s\n", answer.reply.local_name, answer.reply.remote_name);
    printf("server=%s export=%s\n", answer.reply.server_name, answer.reply.export_path);
    return 0;
}

static int remap_startup(void)
{
    char path[MAX_PATH];
    char section[32];
    char local_name[16];
    char remote_name[MAX_PATH];

    // The result is the directory's length, or the size needed when the
    // buffer is too small. Without a directory that leaves room for the
    // suffix there is no file to read, as when the file is missing.
    UINT length = GetWindowsDirectoryA(path, MAX_PATH);
    if (length == 0 || length > MAX_PATH - sizeof MAPPINGS_SUFFIX)
        return 0;
    lstrcatA(path, MAPPINGS_SUFFIX);

    for (int letter = 'A'; letter <= 'Z'; ++letter) {
        wsprintfA(section, "Drive.%c", letter);
        // The profile reader cuts a value to the buffer and terminates it,
        // and gives the default for a missing file, section or key.
        GetPrivateProfileStringA(section, "Local", "", local_name, sizeof local_name, path);
        GetPrivateProfileStringA(section, "Remote", "", remote_name, sizeof remote_name, path);
        if (local_name[0] != '\0' && remote_name[0] != '\0')
            (void)map_drive(local_name, remote_name);
    }
    return 0;
}

static int install_startup(void)
{
    char path[MAX_PATH];
    char command[MAX_PATH + 32];
    HKEY key;

    // 0 is a failure; a full buffer means the path was cut (and newer
    // Windows leave it unterminated). Either would name a wrong program.
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 1;
    // At most 259 + 11 characters and the terminator: fits in 292.
    wsprintfA(command, "\"%s\" /startup", path);

    // A missing key and a refused access both take the create path.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RUN_KEY_PATH, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS &&
        RegCreateKeyA(HKEY_LOCAL_MACHINE, RUN_KEY_PATH, &key) != ERROR_SUCCESS)
        return 1;

    LONG written = RegSetValueExA(key, PROVIDER_NAME, 0, REG_SZ,
                                  reinterpret_cast<const BYTE *>(command),
                                  static_cast<DWORD>(lstrlenA(command)) + 1);
    RegCloseKey(key);
    return written == ERROR_SUCCESS ? 0 : 1;
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        usage();
        return 2;
    }
    const char *word = argv[1];
    if (lstrcmpiA(word, "/install-startup") == 0)
        return install_startup();
    if (lstrcmpiA(word, "/startup") == 0)
        return remap_startup();
    if (lstrcmpiA(word, "/map") == 0 && argc >= 4)
        return map_drive(argv[2], argv[3]);
    if (lstrcmpiA(word, "/unmap") == 0 && argc >= 3)
        return unmap_drive(argv[2]);
    if (lstrcmpiA(word, "/status") == 0)
        return argc == 2 ? print_vxd_status() : print_vxd_mapping(argv[2]);
    usage();
    return 2;
}

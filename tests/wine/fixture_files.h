// Where the two test fixtures keep their state in the Wine prefix. Each run
// of the tool is a new process, and the driver lives in another process
// (winedevice), so everything that lasts or is shared is a file.
#ifndef QUELT_FIXTURE_FILES_H
#define QUELT_FIXTURE_FILES_H

#define FIXTURE_DIR L"C:\\QueltFixture"

// Written by the provider, read by the driver: one line per connection,
// "local<TAB>remote\n", in the system code page.
#define CONNECTIONS_FILE L"connections.txt"
// Optional settings of the provider ([Provider] section, read per call).
#define PROVIDER_SETTINGS_FILE L"provider.ini"
// Every call the provider received, one line each, with its answer.
#define PROVIDER_LOG_FILE L"provider.log"
// What each process that loaded the provider is told of its Windows version
// and its executable's version resource, one line per process.
#define HOST_LOG_FILE L"host.log"
// Optional scripted answers of the driver (see queltvxd.cpp).
#define DRIVER_SCRIPT_FILE L"driver.cfg"
// Every request the driver received, one line each, with its answer.
#define DRIVER_LOG_FILE L"driver.log"

#endif

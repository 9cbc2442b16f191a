/* Has a TLS directory: the linker points the image at the symbol
 * _tls_used, as MinGW's tlssup.o defines it for __thread variables. */
#include <windows.h>

static char tls_template[4];
static DWORD tls_index;

const IMAGE_TLS_DIRECTORY32 _tls_used = {
    (DWORD)(UINT_PTR)tls_template, (DWORD)(UINT_PTR)(tls_template + sizeof tls_template),
    (DWORD)(UINT_PTR)&tls_index, 0, 0, 0};

int main(void)
{
    return 0;
}

// Built with the program's compile flags: given an argument longer than its
// 16-byte buffer, it overruns that buffer on the stack, and the stack
// protector must end it (STATUS_STACK_BUFFER_OVERRUN) before it returns.
#include <windows.h>

static void copy_unbounded(char *to, const wchar_t *from)
{
    while ((*to++ = (char)*from++) != '\0') {
    }
}

// Called through a pointer the compiler cannot see through, so that it
// cannot prove the overrun and drop or diagnose the copy.
static void (*volatile g_copy)(char *, const wchar_t *) = copy_unbounded;

static int keep_text(const wchar_t *text)
{
    char buffer[16];
    g_copy(buffer, text);
    return buffer[0] == 'x';
}

int wmain(int argc, wchar_t **argv)
{
    return argc > 1 ? keep_text(argv[1]) : 0;
}

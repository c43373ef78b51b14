/* A library another user plants where the loader looks: it carries this version's mark, which
 * anyone can copy, and its constructor leaves the file named by CALDRIX_TEST_MARKER, so that a
 * test sees whether its code ever ran in the JVM that looked at it. */
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((used)) static const char mark[] = CALDRIX_TEST_VERSION_MARK;

__attribute__((constructor)) static void planted(void) {
    const char* marker = getenv("CALDRIX_TEST_MARKER");
    if (marker != NULL) close(open(marker, O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
}

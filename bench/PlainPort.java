/**
 * The per-call benchmark's baseline: the system calls the library makes, behind native methods
 * of a library of the benchmark's own (libplain_port.so, named by the system property
 * plainport.library) with nothing around them.
 */
final class PlainPort {
    static final String LIBRARY_PROPERTY = "plainport.library";

    static {
        System.load(System.getProperty(LIBRARY_PROPERTY));
    }

    private PlainPort() {}

    /** Opens a terminal raw at 9600 8N1; returns the descriptor, or minus the errno. */
    static native int open(String path);

    static native int close(int fd);

    static native int getReadCount(int fd);

    static native boolean isCTS(int fd);

    static native int write(int fd, byte[] buffer, int count);
}

package com.vorant.jpos.tavrolink;

import java.io.BufferedReader;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.nio.channels.Channels;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.FileAttribute;
import java.nio.file.attribute.PosixFileAttributes;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.nio.file.attribute.UserPrincipal;
import java.security.CodeSource;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.Properties;
import java.util.Set;

/**
 * Finds and loads the native library for {@link caldrix}, in this order:
 *
 * <ol>
 *   <li>the file named by the system property {@code caldrix.library}, and nothing else when it
 *       is set;
 *   <li>{@code caldrix.dll} or {@code libcaldrix.so} in a folder of {@code java.library.path};
 *   <li>the native for this operating system and architecture inside the jar, copied to a
 *       per-user cache folder named by version and checksum and loaded from there. The folders
 *       tried are those of the property {@code caldrix.cache} (separated like a class path), or
 *       else the user's cache folder and then a folder of the user's own under
 *       {@code java.io.tmpdir}.
 * </ol>
 *
 * <p>A library is loaded only when it carries the version of these classes. A cache folder is
 * used only when it belongs to this user and nobody else may write in it, and not when its file
 * system is mounted {@code noexec}. When nothing loads, one {@link UnsatisfiedLinkError} says
 * what was tried, where, and why each attempt failed.
 */
final class CaldrixLoader {
    /** The version of these classes. The build marks the same text into every native. */
    static final String VERSION = "1.0.0";

    static final String LIBRARY_PROPERTY = "caldrix.library";
    static final String CACHE_PROPERTY = "caldrix.cache";
    /** Tests only: stop half-way through copying a native out of the jar until stdin has a line. */
    static final String PAUSE_PROPERTY = "caldrix.test.pauseExtraction";

    /** Precedes the version in every native; the version ends at the next NUL. */
    static final String VERSION_MARK = "CALDRIX_NATIVE_VERSION=";

    /** The natives of the jar, beside these classes: native/PLATFORM/FILE and FILE.sha256. */
    static final String NATIVES = "native/";
    static final String NATIVES_INDEX = NATIVES + "natives.properties";

    private static final String NAME = "caldrix";

    /** Whether files have POSIX owners and modes here (not on Windows). */
    private static final boolean POSIX =
            FileSystems.getDefault().supportedFileAttributeViews().contains("posix");

    /** The file loaded, once loaded. */
    private static volatile Path loaded;

    private CaldrixLoader() {}

    static Path loadedFile() {
        return loaded;
    }

    static synchronized void load() {
        if (loaded != null) {
            return;
        }
        String platform = platform(System.getProperty("os.name"), System.getProperty("os.arch"));
        List<String> failures = new ArrayList<>();

        String pinned = System.getProperty(LIBRARY_PROPERTY);
        if (pinned != null && !pinned.isEmpty()) {
            // A pinned file is the only one the caller accepts: nothing else is tried.
            Path file = Paths.get(pinned).toAbsolutePath();
            String why = loadFile(file);
            if (why == null) {
                return;
            }
            failures.add(LIBRARY_PROPERTY + " " + file + ": " + why);
            throw failure(platform, failures);
        }

        if (loadFromLibraryPath(failures) || loadFromJar(platform, failures)) {
            return;
        }
        throw failure(platform, failures);
    }

    private static UnsatisfiedLinkError failure(String platform, List<String> failures) {
        StringBuilder m = new StringBuilder(NAME + " " + VERSION + " found no native library it"
                + " could load for " + platform + "; tried, in this order:");
        for (String f : failures) {
            m.append("\n- ").append(f);
        }
        return new UnsatisfiedLinkError(m.toString());
    }

    // ---- java.library.path -----------------------------------------------------------------

    private static boolean loadFromLibraryPath(List<String> failures) {
        String path = System.getProperty("java.library.path", "");
        String file = System.mapLibraryName(NAME);
        boolean found = false;
        for (String dir : path.split(File.pathSeparator)) {
            if (dir.isEmpty()) {
                continue;
            }
            Path candidate = Paths.get(dir, file).toAbsolutePath();
            if (!Files.exists(candidate)) {
                continue;
            }
            found = true;
            String why = loadFile(candidate);
            if (why == null) {
                return true;
            }
            failures.add("java.library.path " + candidate + ": " + why);
        }
        if (!found) {
            failures.add("java.library.path: no " + file + " in "
                    + (path.isEmpty() ? "(empty)" : path));
        }
        return false;
    }

    /** Loads a file after checking its version; null when loaded, else why not. */
    private static String loadFile(Path file) {
        byte[] bytes;
        try {
            bytes = Files.readAllBytes(file);
        } catch (IOException e) {
            return "cannot read it: " + describe(e);
        }
        String version = versionOf(bytes);
        if (version == null) {
            return "not a " + NAME + " library (it has no version mark)";
        }
        if (!version.equals(VERSION)) {
            return "it is " + NAME + " " + version + ", these classes are " + NAME + " " + VERSION;
        }
        return systemLoad(file);
    }

    private static String systemLoad(Path file) {
        try {
            System.load(file.toString());
        } catch (UnsatisfiedLinkError e) {
            return e.getMessage();
        }
        loaded = file;
        return null;
    }

    /** The version marked into a native, or null when it has none. */
    static String versionOf(byte[] bytes) {
        byte[] mark = VERSION_MARK.getBytes(StandardCharsets.US_ASCII);
        outer:
        for (int i = 0; i + mark.length <= bytes.length; i++) {
            for (int j = 0; j < mark.length; j++) {
                if (bytes[i + j] != mark[j]) {
                    continue outer;
                }
            }
            int start = i + mark.length;
            int end = start;
            while (end < bytes.length && bytes[end] != 0 && end - start < 64) {
                end++;
            }
            return new String(bytes, start, end - start, StandardCharsets.US_ASCII);
        }
        return null;
    }

    // ---- the jar's natives ------------------------------------------------------------------

    private static boolean loadFromJar(String platform, List<String> failures) {
        Properties index = new Properties();
        try (InputStream in = caldrix.class.getResourceAsStream(NATIVES_INDEX)) {
            if (in == null) {
                CodeSource from = caldrix.class.getProtectionDomain().getCodeSource();
                failures.add("jar: no natives beside these classes ("
                        + (from == null ? "origin unknown" : from.getLocation()) + ")");
                return false;
            }
            index.load(in);
        } catch (IOException e) {
            failures.add("jar: cannot read " + NATIVES_INDEX + ": " + describe(e));
            return false;
        }
        List<String> platforms =
                Arrays.asList(index.getProperty("platforms", "").trim().split(" +"));
        if (!platforms.contains(platform)) {
            failures.add("jar: a " + bits(platform) + "-bit JVM needs the " + platform
                    + " native; this jar has " + String.join(", ", platforms));
            return false;
        }
        String file = System.mapLibraryName(NAME);
        String entry = NATIVES + platform + "/" + file;
        Checked checked = checkedEntry(entry, failures,
                missing -> "jar: " + entry + missing + " is missing",
                "jar: the " + platform + " native does not match its checksum");
        if (checked == null) {
            return false;
        }
        byte[] bytes = checked.bytes;
        String sum = checked.sum;
        String version = versionOf(bytes);
        if (!VERSION.equals(version)) {
            failures.add("jar: the " + platform + " native "
                    + (version == null ? "has no version mark"
                                       : "is " + NAME + " " + version)
                    + ", these classes are " + NAME + " " + VERSION);
            return false;
        }
        String folder = VERSION + "-" + sum.substring(0, 12);
        for (Path root : cacheRoots()) {
            if (loadFromCache(root, root.resolve(folder), file, bytes, sum, failures)) {
                return true;
            }
        }
        return false;
    }

    private static byte[] resource(String name) throws IOException {
        try (InputStream in = caldrix.class.getResourceAsStream(name)) {
            if (in == null) {
                return null;
            }
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            byte[] buf = new byte[65536];
            for (int n; (n = in.read(buf)) > 0; ) {
                out.write(buf, 0, n);
            }
            return out.toByteArray();
        }
    }

    static List<Path> cacheRoots() {
        List<Path> roots = new ArrayList<>();
        String listed = System.getProperty(CACHE_PROPERTY);
        if (listed != null && !listed.isEmpty()) {
            for (String p : listed.split(File.pathSeparator)) {
                if (!p.isEmpty()) {
                    roots.add(Paths.get(p).toAbsolutePath());
                }
            }
            return roots;
        }
        String home = System.getProperty("user.home", "");
        String os = System.getProperty("os.name", "");
        if (os.startsWith("Windows")) {
            String local = System.getenv("LOCALAPPDATA");
            roots.add(local != null && !local.isEmpty()
                    ? Paths.get(local, NAME) : Paths.get(home, "AppData", "Local", NAME));
        } else if (os.startsWith("Mac")) {
            roots.add(Paths.get(home, "Library", "Caches", NAME));
        } else {
            String xdg = System.getenv("XDG_CACHE_HOME");
            roots.add(xdg != null && xdg.startsWith("/")
                    ? Paths.get(xdg, NAME) : Paths.get(home, ".cache", NAME));
        }
        // The second folder is for a home that cannot be written or is mounted noexec.
        String user = System.getProperty("user.name", "").replaceAll("[^A-Za-z0-9._-]", "_");
        roots.add(Paths.get(System.getProperty("java.io.tmpdir"), NAME + "-" + user)
                .toAbsolutePath());
        return roots;
    }

    /**
     * Loads the native from dir, copying it there first unless a file with the right checksum is
     * already there. On failure adds why, naming the folder at fault, and answers false.
     */
    private static boolean loadFromCache(Path root, Path dir, String file, byte[] bytes,
                                         String sum, List<String> failures) {
        if (!placeInCache(root, dir, file, bytes, sum, false, failures)) {
            return false;
        }
        String why = systemLoad(dir.resolve(file));
        if (why != null) {
            failures.add("cache " + dir + ": " + why);
        }
        return why == null;
    }

    /**
     * Makes sure dir holds file with the checksum given, copying it there unless it already
     * does; an executable one is for this user to run. On failure adds why, naming the folder at
     * fault, and answers false.
     */
    private static boolean placeInCache(Path root, Path dir, String file, byte[] bytes,
                                        String sum, boolean executable, List<String> failures) {
        for (Path folder : Arrays.asList(root, dir)) {
            String why = privateFolder(folder);
            if (why != null) {
                failures.add("cache " + folder + ": " + why);
                return false;
            }
        }
        String why = null;
        Path target = dir.resolve(file);
        if (mountedNoexec(dir)) {
            why = "its file system is mounted noexec";
        } else if (!isIntact(target, sum)
                || (executable && POSIX && !Files.isExecutable(target))) {
            why = install(dir, target, bytes, sum, executable);
        }
        if (why != null) {
            failures.add("cache " + dir + ": " + why);
        }
        return why == null;
    }

    /**
     * A program the jar carries beside this platform's native (such as caldrix-ports), copied to
     * a cache folder by the same rules as the native and ready to run; null when there is none
     * to run, with why added to failures.
     */
    static Path program(String name, List<String> failures) {
        String platform = platform(System.getProperty("os.name"), System.getProperty("os.arch"));
        String file = platform.startsWith("windows-") ? name + ".exe" : name;
        String entry = NATIVES + platform + "/" + file;
        Checked checked = checkedEntry(entry, failures,
                missing -> "this jar has no " + file + missing + " for " + platform,
                "jar: the " + platform + " " + file + " does not match its checksum");
        if (checked == null) {
            return null;
        }
        byte[] bytes = checked.bytes;
        String sum = checked.sum;
        String folder = VERSION + "-" + sum.substring(0, 12);
        for (Path root : cacheRoots()) {
            if (placeInCache(root, root.resolve(folder), file, bytes, sum, true, failures)) {
                return root.resolve(folder).resolve(file);
            }
        }
        return null;
    }

    /** A file the jar carries, with the checksum it was checked against. */
    private static final class Checked {
        final byte[] bytes;
        final String sum;

        Checked(byte[] bytes, String sum) {
            this.bytes = bytes;
            this.sum = sum;
        }
    }

    /**
     * A file the jar carries, checked against the checksum beside it; null with why added to
     * failures. missing is told "" for an absent file, ".sha256" for an absent checksum.
     */
    private static Checked checkedEntry(String entry, List<String> failures,
            java.util.function.Function<String, String> missing, String mismatch) {
        byte[] bytes;
        String sum;
        try {
            bytes = resource(entry);
            byte[] sumFile = resource(entry + ".sha256");
            if (bytes == null || sumFile == null) {
                failures.add(missing.apply(bytes == null ? "" : ".sha256"));
                return null;
            }
            sum = new String(sumFile, StandardCharsets.US_ASCII).trim().split("\\s+")[0];
        } catch (IOException e) {
            failures.add("jar: cannot read " + entry + ": " + describe(e));
            return null;
        }
        if (!sha256(bytes).equals(sum)) {
            failures.add(mismatch);
            return null;
        }
        return new Checked(bytes, sum);
    }

    /** Creates dir (and missing parents) for this user alone, or checks the one there. */
    private static String privateFolder(Path dir) {
        if (!Files.isDirectory(dir)) {
            try {
                if (POSIX) {
                    Files.createDirectories(dir, PosixFilePermissions.asFileAttribute(
                            PosixFilePermissions.fromString("rwx------")));
                } else {
                    Files.createDirectories(dir);
                }
            } catch (FileAlreadyExistsException e) {
                return "it is not a folder";
            } catch (IOException e) {
                return "cannot create it: " + describe(e);
            }
        }
        if (!POSIX) {
            return null;  // Windows: the user's profile folders are private by their ACLs
        }
        return privateTo(dir, "folder");
    }

    /** Null when path belongs to this user and nobody else may write it, else why not. */
    private static String privateTo(Path path, String what) {
        PosixFileAttributes attrs;
        UserPrincipal me;
        try {
            attrs = Files.readAttributes(path, PosixFileAttributes.class);
        } catch (IOException e) {
            return "cannot read its owner: " + describe(e);
        }
        String user = System.getProperty("user.name", "");
        try {
            me = path.getFileSystem().getUserPrincipalLookupService().lookupPrincipalByName(user);
        } catch (IOException e) {
            return "cannot tell whose " + what + " it is: user " + user + " is unknown";
        }
        if (!attrs.owner().equals(me)) {
            return "the " + what + " belongs to " + attrs.owner().getName() + ", not to " + user;
        }
        Set<PosixFilePermission> p = attrs.permissions();
        if (p.contains(PosixFilePermission.GROUP_WRITE)
                || p.contains(PosixFilePermission.OTHERS_WRITE)) {
            return "others than " + user + " may write in the " + what + " ("
                    + PosixFilePermissions.toString(p) + ")";
        }
        return null;
    }

    /** True when the file system holding dir is mounted noexec (Linux; elsewhere false). */
    static boolean mountedNoexec(Path dir) {
        Path info = Paths.get("/proc/self/mountinfo");
        if (!Files.isReadable(info)) {
            return false;
        }
        String real;
        List<String> lines;
        try {
            real = dir.toRealPath().toString();
            lines = Files.readAllLines(info, StandardCharsets.UTF_8);
        } catch (IOException e) {
            return false;
        }
        // The mount that holds dir is the last one listed whose mount point is dir or a parent.
        String best = null;
        boolean noexec = false;
        for (String line : lines) {
            String[] f = line.split(" ");
            if (f.length < 6) {
                continue;
            }
            String point = unescapeMountPoint(f[4]);
            boolean holds = real.equals(point) || point.equals("/")
                    || real.startsWith(point + "/");
            if (holds && (best == null || point.length() >= best.length())) {
                best = point;
                noexec = Arrays.asList(f[5].split(",")).contains("noexec");
            }
        }
        return noexec;
    }

    private static String unescapeMountPoint(String s) {
        StringBuilder b = new StringBuilder();
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c == '\\' && i + 3 < s.length()) {
                b.append((char) Integer.parseInt(s.substring(i + 1, i + 4), 8));
                i += 3;
            } else {
                b.append(c);
            }
        }
        return b.toString();
    }

    /** True when target is a file of this user's with the checksum given. */
    private static boolean isIntact(Path target, String sum) {
        if (!Files.isRegularFile(target)) {
            return false;
        }
        if (POSIX && privateTo(target, "file") != null) {
            return false;
        }
        try {
            return sha256(Files.readAllBytes(target)).equals(sum);
        } catch (IOException e) {
            return false;
        }
    }

    /**
     * Writes the native to a temporary file of its own (created exclusively, for this user alone)
     * and renames it into place, so that another JVM never sees a part-written file.
     */
    private static String install(Path dir, Path target, byte[] bytes, String sum,
                                  boolean executable) {
        FileAttribute<?>[] attrs = POSIX
                ? new FileAttribute<?>[] {PosixFilePermissions.asFileAttribute(
                        PosixFilePermissions.fromString(executable ? "rwx------" : "rw-------"))}
                : new FileAttribute<?>[0];
        Path tmp;
        try {
            tmp = Files.createTempFile(dir, "." + target.getFileName() + ".", ".tmp", attrs);
        } catch (IOException e) {
            return "cannot write in it: " + describe(e);
        }
        try {
            try (FileChannel ch = FileChannel.open(tmp, StandardOpenOption.WRITE);
                 OutputStream out = Channels.newOutputStream(ch)) {
                int half = bytes.length / 2;
                out.write(bytes, 0, half);
                out.flush();
                pauseForTest(tmp);
                out.write(bytes, half, bytes.length - half);
                out.flush();
                ch.force(true);
            }
            try {
                Files.move(tmp, target, StandardCopyOption.ATOMIC_MOVE,
                           StandardCopyOption.REPLACE_EXISTING);
            } catch (IOException e) {
                // Windows refuses to replace a library another JVM has loaded; that one is the
                // same file when its checksum says so.
                if (!isIntact(target, sum)) {
                    return "cannot write " + target.getFileName() + " in it: " + describe(e);
                }
            }
            return null;
        } catch (IOException e) {
            return "cannot write in it: " + describe(e);
        } finally {
            try {
                Files.deleteIfExists(tmp);
            } catch (IOException ignored) {
                // a stray temporary file is never loaded
            }
        }
    }

    private static void pauseForTest(Path tmp) throws IOException {
        if (!Boolean.getBoolean(PAUSE_PROPERTY)) {
            return;
        }
        System.err.println("caldrix: extraction paused at " + tmp);
        System.err.flush();
        new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8)).readLine();
    }

    // ---- helpers ----------------------------------------------------------------------------

    /** The jar's name for an os.name and os.arch, such as linux-x86_64 or windows-x86. */
    static String platform(String osName, String osArch) {
        String os = osName == null ? "" : osName;
        String arch = osArch == null ? "" : osArch.toLowerCase(Locale.ROOT);
        if (os.startsWith("Windows")) {
            os = "windows";
        } else if (os.startsWith("Mac")) {
            os = "macos";
        } else {
            os = os.toLowerCase(Locale.ROOT).replaceAll("[^a-z0-9]", "");
        }
        switch (arch) {
            case "amd64":
            case "x86_64":
                arch = "x86_64";
                break;
            case "x86":
            case "i386":
            case "i486":
            case "i586":
            case "i686":
                arch = "x86";
                break;
            case "arm64":
            case "aarch64":
                arch = "aarch64";
                break;
            default:
                arch = arch.replaceAll("[^a-z0-9_]", "");
        }
        return os + "-" + arch;
    }

    private static String bits(String platform) {
        if (platform.endsWith("-x86") || platform.endsWith("-arm")) {
            return "32";
        }
        if (platform.endsWith("-x86_64") || platform.endsWith("-aarch64")) {
            return "64";
        }
        return System.getProperty("sun.arch.data.model", "?");
    }

    static String sha256(byte[] bytes) {
        try {
            StringBuilder hex = new StringBuilder();
            for (byte b : MessageDigest.getInstance("SHA-256").digest(bytes)) {
                hex.append(String.format("%02x", b & 0xFF));
            }
            return hex.toString();
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException("every Java platform has SHA-256", e);
        }
    }

    private static String describe(IOException e) {
        if (e instanceof NoSuchFileException) {
            return "no such file or folder";
        }
        if (e instanceof AccessDeniedException) {
            return "permission denied";
        }
        if (e instanceof FileSystemException && ((FileSystemException) e).getReason() != null) {
            return ((FileSystemException) e).getReason();
        }
        return e.toString();
    }
}

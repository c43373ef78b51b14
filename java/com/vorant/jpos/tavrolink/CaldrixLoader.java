package com.vorant.jpos.tavrolink;

import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.channels.Channels;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.AccessDeniedException;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.FileSystemException;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.LinkOption;
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
import java.util.function.BiConsumer;
import java.util.function.Function;
import java.util.function.Predicate;

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
 *       else the user's cache folder and then a fresh folder of this JVM's own, with a name
 *       nobody can guess, under {@code java.io.tmpdir}.
 * </ol>
 *
 * <p>A library is loaded only when it carries the version of these classes, and only when nobody
 * but this user and root can change anything on the way to it: every folder from / down owned by
 * root or this user and writable by nobody else (a sticky folder such as /tmp only above an entry
 * of this user's or root's), the file itself root's or this user's and writable by nobody else.
 * A file named by the property or found on {@code java.library.path} (whose relative entries
 * are taken from the current folder) is checked and loaded by its real path, links resolved;
 * a cache path may hold no symbolic link, its folders are this user's alone, and it is not used
 * when its file system is mounted {@code noexec}. A file refused is passed over with its reason.
 * When nothing loads, one {@link UnsatisfiedLinkError} says what was tried, where, and why each
 * attempt failed.
 *
 * <p>Why checking a path and then loading by that path is sound here: only the owner of a folder
 * (or anyone who may write in it) can rename, remove or add its entries, and in a sticky folder
 * only the owner of an entry (or of the folder) can rename or remove that entry. Every folder on
 * the way is root's or this user's and nobody else may write in it, or it is sticky and the entry
 * below it is this user's or root's; so no other user can swap any folder on the way, or the
 * file, between the check and {@link System#load} or the start of a program, and the file itself
 * is this user's or root's and writable by nobody else. The way is checked from / down, each
 * name looked at without following links, so a name is looked at only once the folder holding it
 * can no longer change under us; and a cached file once more right before it is used.
 */
final class CaldrixLoader {
    /** The version of these classes. The build marks the same text into every native. */
    static final String VERSION = "1.0.0";

    static final String LIBRARY_PROPERTY = "caldrix.library";
    static final String CACHE_PROPERTY = "caldrix.cache";

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

    /** This JVM's own folder under java.io.tmpdir, once made. */
    private static Path freshTemp;

    /**
     * Tests only, set by a test's own main class: told "written" with a copy from the jar before
     * it is renamed into place, and "use" with a file checked for the last time, right before it
     * is loaded or run.
     */
    static volatile BiConsumer<String, Path> testHook;

    private static final FileAttribute<?>[] OWNER_ONLY = ownerOnly("rwx------");
    private static final FileAttribute<?>[] OWNER_READ_WRITE = ownerOnly("rw-------");

    private static FileAttribute<?>[] ownerOnly(String mode) {
        return POSIX ? new FileAttribute<?>[] {
                           PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString(mode))}
                     : new FileAttribute<?>[0];
    }

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

    /**
     * Loads a file after checking who can change it and its version; null when loaded, else why
     * not. Its real path is resolved once, and that path is checked, read and loaded, so a link
     * changed meanwhile cannot point the load elsewhere.
     */
    private static String loadFile(Path file) {
        Path real;
        byte[] bytes;
        try {
            real = file.toRealPath();
            String why = untrusted(real);
            if (why != null) {
                return why;
            }
            bytes = Files.readAllBytes(real);
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
        return systemLoad(real);
    }

    /**
     * Why a file named by a property (a program to run) cannot be trusted, or null: the rule the
     * libraries it loads are held to, on the file's real path.
     */
    static String untrusted(Path real) {
        return POSIX ? checkWay(real, false, End.FILE) : null;
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
        return fromCache(file, bytes, sum, false, failures, CaldrixLoader::systemLoad) != null;
    }

    private static byte[] resource(String name) throws IOException {
        try (InputStream in = caldrix.class.getResourceAsStream(name)) {
            if (in == null) {
                return null;
            }
            return readAll(in);
        }
    }

    /** Everything the stream has, to its end (Java 8 has no InputStream.readAllBytes). */
    static byte[] readAll(InputStream in) throws IOException {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        byte[] buf = new byte[65536];
        for (int n; (n = in.read(buf)) > 0; ) {
            out.write(buf, 0, n);
        }
        return out.toByteArray();
    }

    /** The cache folders to try in order; null stands for a fresh one under java.io.tmpdir. */
    static List<Path> cacheRoots() {
        List<Path> roots = new ArrayList<>();
        String listed = System.getProperty(CACHE_PROPERTY);
        if (listed != null && !listed.isEmpty()) {
            for (String p : listed.split(File.pathSeparator)) {
                if (!p.isEmpty()) {
                    roots.add(Paths.get(p).toAbsolutePath().normalize());
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
        roots.set(0, roots.get(0).toAbsolutePath().normalize());
        // For a home that cannot be written, is mounted noexec or lies in another user's hands.
        roots.add(null);
        return roots;
    }

    /**
     * A folder of this JVM's own under java.io.tmpdir, made on first use and removed when the
     * JVM ends. A fixed name there could be taken first by another user, as a folder or a link;
     * a fresh one with a random name cannot. Null, with why added to failures, when the temporary
     * folder is not fit for it.
     */
    private static synchronized Path freshTempRoot(List<String> failures) {
        if (freshTemp != null) {
            return freshTemp;
        }
        Path tmp = Paths.get(System.getProperty("java.io.tmpdir")).toAbsolutePath().normalize();
        String prefix = NAME + "-"
                + System.getProperty("user.name", "").replaceAll("[^A-Za-z0-9._-]", "_") + "-";
        String why = POSIX ? checkWay(tmp, false, End.SHARED) : null;
        if (why == null) {
            try {
                freshTemp = Files.createTempDirectory(tmp, prefix, OWNER_ONLY);
                freshTemp.toFile().deleteOnExit();
                return freshTemp;
            } catch (IOException e) {
                why = "cannot create it: " + describe(e);
            }
        }
        failures.add("cache " + tmp.resolve(prefix + "*") + ": " + why);
        return null;
    }

    /**
     * The file in the first cache folder that holds it with the checksum given (copied there
     * unless it already was), passes the last look, and is taken by use (null from use: taken;
     * else why not); null when no folder does, with why added to failures for each, naming the
     * folder at fault.
     */
    private static Path fromCache(String file, byte[] bytes, String sum, boolean executable,
                                  List<String> failures, Function<Path, String> use) {
        String folder = VERSION + "-" + sum.substring(0, 12);
        for (Path root : cacheRoots()) {
            root = root != null ? root : freshTempRoot(failures);
            if (root == null) {
                continue;
            }
            Path dir = root.resolve(folder);
            if (!placeInCache(root, dir, file, bytes, sum, executable, failures)) {
                continue;
            }
            Path target = dir.resolve(file);
            String why = readyToUse(dir, target);
            if (why == null) {
                why = use.apply(target);
            }
            if (why == null) {
                return target;
            }
            failures.add("cache " + dir + ": " + why);
        }
        return null;
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
        } else if (root.equals(freshTemp)) {
            // Removed in the reverse order: the file, its folder, then the fresh folder.
            dir.toFile().deleteOnExit();
            target.toFile().deleteOnExit();
        }
        return why == null;
    }

    /**
     * The last look at the way to a file, right before it is loaded or run: null when nobody but
     * this user and root can still change it, else why not. The caller uses the file at once.
     */
    private static String readyToUse(Path dir, Path target) {
        String why = POSIX ? checkWay(dir, false, End.PRIVATE) : null;
        if (why == null && POSIX) {
            why = privateFile(target);
        }
        BiConsumer<String, Path> hook = testHook;
        if (why == null && hook != null) {
            hook.accept("use", target);
        }
        return why;
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
        return fromCache(file, checked.bytes, checked.sum, true, failures, program -> null);
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
            Function<String, String> missing, String mismatch) {
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
        if (POSIX) {
            return checkWay(dir, true, End.PRIVATE);
        }
        // Windows: the user's profile folders are private by their ACLs, which are not checked.
        try {
            Files.createDirectories(dir);
        } catch (FileAlreadyExistsException e) {
            return "it is not a folder";
        } catch (IOException e) {
            return "cannot create it: " + describe(e);
        }
        return null;
    }

    /** What the last name of a way must be. */
    private enum End {
        /** a folder of this user's alone */
        PRIVATE,
        /** a folder fit to hold one of this user's */
        SHARED,
        /** a plain file of root's or this user's that nobody else may write */
        FILE
    }

    /**
     * Walks from / to dir, each name looked at without following links, making missing folders
     * (this user's alone) when create is set. Null when nobody but this user and root can change
     * what dir names; else why not. Every folder on the way must be root's or this user's and
     * writable by nobody else, or sticky with an entry of this user's or root's below it. What dir
     * itself must be, end says.
     */
    private static String checkWay(Path dir, boolean create, End end) {
        String user = System.getProperty("user.name", "");
        UserPrincipal me;
        UserPrincipal root;
        try {
            me = dir.getFileSystem().getUserPrincipalLookupService().lookupPrincipalByName(user);
            root = dir.getFileSystem().getUserPrincipalLookupService()
                    .lookupPrincipalByName("root");
        } catch (IOException e) {
            return "cannot tell whose folder it is: user " + user + " is unknown";
        }
        String trusted = me.equals(root) ? user : "root or " + user;
        Predicate<PosixFileAttributes> ours = a -> a.owner().equals(me) || a.owner().equals(root);
        Path at = dir.getRoot();
        PosixFileAttributes attrs;
        try {
            attrs = lstat(at);
        } catch (IOException e) {
            return "cannot look at " + at + ": " + describe(e);
        }
        for (Path name : dir) {
            // The folder holding the next name first: nothing is made in a folder of another's.
            if (attrs.isSymbolicLink()) {
                return at + " on the way to it is a symbolic link";
            }
            if (!ours.test(attrs)) {
                return at + " on the way to it belongs to " + attrs.owner().getName()
                        + ", not to " + trusted;
            }
            Path next = at.resolve(name);
            PosixFileAttributes nextAttrs;
            try {
                try {
                    nextAttrs = lstat(next);
                } catch (NoSuchFileException e) {
                    if (!create) {
                        throw e;
                    }
                    try {
                        Files.createDirectory(next, OWNER_ONLY);
                    } catch (FileAlreadyExistsException raced) {
                        // another JVM of this user's made it meanwhile; looked at below
                    }
                    nextAttrs = lstat(next);
                }
            } catch (IOException e) {
                return "cannot " + (create ? "create " : "look at ")
                        + (next.equals(dir) ? "it" : next + " on the way to it") + ": "
                        + describe(e);
            }
            if (othersMayWrite(attrs) && !(sticky(at) && ours.test(nextAttrs))) {
                return "others than " + trusted + " may write in " + at + " on the way to it ("
                        + PosixFilePermissions.toString(attrs.permissions()) + ")";
            }
            at = next;
            attrs = nextAttrs;
        }
        if (attrs.isSymbolicLink()) {
            return "it is a symbolic link";
        }
        if (end == End.FILE) {
            if (!attrs.isRegularFile()) {
                return "it is not a plain file";
            }
            if (!ours.test(attrs)) {
                return "the file belongs to " + attrs.owner().getName() + ", not to " + trusted;
            }
            if (othersMayWrite(attrs)) {
                return "others than " + trusted + " may write in the file ("
                        + PosixFilePermissions.toString(attrs.permissions()) + ")";
            }
            return null;
        }
        if (!attrs.isDirectory()) {
            return "it is not a folder";
        }
        if (end == End.SHARED) {
            // A folder of this user's is made here next: the rules for a folder on the way.
            if (!ours.test(attrs)) {
                return "the folder belongs to " + attrs.owner().getName() + ", not to " + trusted;
            }
            if (othersMayWrite(attrs) && !sticky(dir)) {
                return "others than " + trusted + " may write in the folder and it is not sticky"
                        + " (" + PosixFilePermissions.toString(attrs.permissions()) + ")";
            }
            return null;
        }
        return privateTo(attrs, me, user, "folder");
    }

    /** Null when file is a plain file of this user's that nobody else may write, else why not. */
    private static String privateFile(Path file) {
        String user = System.getProperty("user.name", "");
        PosixFileAttributes attrs;
        UserPrincipal me;
        try {
            attrs = lstat(file);
            me = file.getFileSystem().getUserPrincipalLookupService().lookupPrincipalByName(user);
        } catch (IOException e) {
            return "cannot look at " + file.getFileName() + ": " + describe(e);
        }
        if (!attrs.isRegularFile()) {
            return file.getFileName() + " is not a plain file";
        }
        return privateTo(attrs, me, user, "file");
    }

    private static String privateTo(PosixFileAttributes attrs, UserPrincipal me, String user,
                                    String what) {
        if (!attrs.owner().equals(me)) {
            return "the " + what + " belongs to " + attrs.owner().getName() + ", not to " + user;
        }
        if (othersMayWrite(attrs)) {
            return "others than " + user + " may write in the " + what + " ("
                    + PosixFilePermissions.toString(attrs.permissions()) + ")";
        }
        return null;
    }

    private static PosixFileAttributes lstat(Path p) throws IOException {
        return Files.readAttributes(p, PosixFileAttributes.class, LinkOption.NOFOLLOW_LINKS);
    }

    private static boolean othersMayWrite(PosixFileAttributes attrs) {
        Set<PosixFilePermission> p = attrs.permissions();
        return p.contains(PosixFilePermission.GROUP_WRITE)
                || p.contains(PosixFilePermission.OTHERS_WRITE);
    }

    /** Whether a folder has the sticky bit, which the POSIX view does not tell. */
    private static boolean sticky(Path dir) {
        try {
            Object mode = Files.getAttribute(dir, "unix:mode", LinkOption.NOFOLLOW_LINKS);
            return mode instanceof Integer && ((Integer) mode & 01000) != 0;
        } catch (IOException | UnsupportedOperationException | IllegalArgumentException e) {
            return false;  // not known to be sticky: shared folders are then refused
        }
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
        if (POSIX ? privateFile(target) != null : !Files.isRegularFile(target)) {
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
        FileAttribute<?>[] attrs = executable ? OWNER_ONLY : OWNER_READ_WRITE;
        Path tmp;
        try {
            tmp = Files.createTempFile(dir, "." + target.getFileName() + ".", ".tmp", attrs);
        } catch (IOException e) {
            return "cannot write in it: " + describe(e);
        }
        try {
            try (FileChannel ch = FileChannel.open(tmp, StandardOpenOption.WRITE);
                 OutputStream out = Channels.newOutputStream(ch)) {
                out.write(bytes);
                out.flush();
                ch.force(true);
            }
            BiConsumer<String, Path> hook = testHook;
            if (hook != null) {
                hook.accept("written", tmp);
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
            case "arm":
            case "armhf":
                arch = "armhf";  // what a 32-bit ARM JVM calls itself; the jar's is hard-float
                break;
            default:
                arch = arch.replaceAll("[^a-z0-9_]", "");
        }
        return os + "-" + arch;
    }

    private static String bits(String platform) {
        if (platform.endsWith("-x86") || platform.endsWith("-armhf")) {
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

import java.io.DataInputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Deque;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeSet;
import java.util.stream.Stream;
import java.util.zip.ZipEntry;
import java.util.zip.ZipFile;

/**
 * Fails unless every class of the given jars runs on Java 7 and Android
 * API 16: class files of version 51 at most, no {@code invokedynamic} or
 * method handle constants, and every class, field and method they take from
 * outside the jar listed in the reviewed allowlist, at levels no higher than
 * those two, and present in Java 7's platform classes.
 *
 * <p>The class files are read directly rather than through {@code javap}:
 * the constant pool names every class and member a class can reach, and
 * {@code invokedynamic} cannot occur without an entry of its own there, so
 * no bytecode needs decoding. Java 7's platform classes come from the JDK's
 * {@code lib/ct.sym} (folders whose name holds {@code 7}), which is what
 * {@code javac --release 7} compiles against. A class that is not in Java
 * SE 7 ({@code android.*}, {@code dalvik.*}, {@code sun.*}, a library's) is
 * refused whatever the allowlist says: the shipped jars build against the
 * platform alone.
 *
 * <p>Why a program rather than a script over {@code javap -v}: javap's text
 * is meant for people and changes between JDKs, member lookup through
 * superclasses needs the platform's class hierarchy anyway, and one JVM
 * launch reads all the jars.
 *
 * <p>A member is charged to the JDK class that declares it in Java 7, as
 * the Android API reference lists it: {@code ByteBuffer.position(int)}
 * compiled for Java 7 is {@code Buffer}'s, and {@code getMessage()} called
 * on the jar's own exception type is {@code Throwable}'s.
 *
 * <p>Usage: {@code java ApiCheck --allowlist <file> --ct-sym <ct.sym> [--used] <jar or class folder>...};
 * {@code --used} prints every outside class and member the jars name, one
 * allowlist key a line, instead of checking.
 */
public final class ApiCheck {
    private static final int MAX_MAJOR_VERSION = 51;  // Java 7
    private static final int MAX_ANDROID_API = 16;
    private static final int MAX_JAVA = 7;

    private final Allowlist allowlist;
    private final Platform platform;
    private final Set<String> violations = new TreeSet<>();
    private final Set<String> used = new TreeSet<>();

    private ApiCheck(Allowlist allowlist, Platform platform) {
        this.allowlist = allowlist;
        this.platform = platform;
    }

    public static void main(String[] args) throws IOException {
        Path allowlistFile = null;
        Path ctSym = null;
        boolean listUsed = false;
        List<Path> jars = new ArrayList<>();
        for (int i = 0; i < args.length; i++) {
            switch (args[i]) {
                case "--allowlist" -> allowlistFile = Path.of(args[++i]);
                case "--ct-sym" -> ctSym = Path.of(args[++i]);
                case "--used" -> listUsed = true;
                default -> jars.add(Path.of(args[i]));
            }
        }
        if (allowlistFile == null || ctSym == null || jars.isEmpty()) {
            System.err.println("usage: ApiCheck --allowlist <file> --ct-sym <ct.sym> [--used] <jar or class folder>...");
            System.exit(2);
        }
        try (Platform platform = new Platform(ctSym)) {
            ApiCheck check = new ApiCheck(Allowlist.read(allowlistFile), platform);
            for (Path jar : jars) {
                check.checkJar(jar);
            }
            if (listUsed) {
                check.used.forEach(System.out::println);
                return;
            }
            check.violations.forEach(System.out::println);
            if (!check.violations.isEmpty()) {
                System.out.println(check.violations.size() + " violation(s): shipped classes must run on Java "
                    + MAX_JAVA + " and Android API " + MAX_ANDROID_API + " (allowlist: " + allowlistFile + ")");
                System.exit(1);
            }
        }
    }

    /** A jar, or a folder of class files. */
    private void checkJar(Path jar) throws IOException {
        Map<String, ClassFile> own = new HashMap<>();
        if (Files.isDirectory(jar)) {
            try (Stream<Path> files = Files.walk(jar)) {
                for (Path file : (Iterable<Path>) files.filter(f -> f.toString().endsWith(".class"))::iterator) {
                    try (InputStream in = Files.newInputStream(file)) {
                        addClass(own, in);
                    }
                }
            }
        } else {
            try (ZipFile zip = new ZipFile(jar.toFile())) {
                for (ZipEntry entry : Collections.list(zip.entries())) {
                    if (entry.getName().endsWith(".class")) {
                        try (InputStream in = zip.getInputStream(entry)) {
                            addClass(own, in);
                        }
                    }
                }
            }
        }
        String jarName = jar.getFileName().toString();
        for (ClassFile c : own.values()) {
            new Scan(jarName, c, own).run();
        }
    }

    private static void addClass(Map<String, ClassFile> own, InputStream in) throws IOException {
        ClassFile c = ClassFile.read(in);
        own.put(c.name, c);
    }

    /** What one class takes from outside its jar. */
    private final class Scan {
        private final String where;
        private final ClassFile c;
        private final Map<String, ClassFile> own;

        Scan(String jarName, ClassFile c, Map<String, ClassFile> own) {
            this.where = jarName + " " + c.name.replace('/', '.');
            this.c = c;
            this.own = own;
        }

        void run() {
            if (c.major > MAX_MAJOR_VERSION) {
                fail("class file version " + c.major + " (Java " + (c.major - 44) + "), above " + MAX_MAJOR_VERSION);
            }
            if (c.hasBootstrapMethods) {
                fail("a BootstrapMethods attribute (lambda, method reference or string concatenation)");
            }
            for (int i = 1; i < c.tags.length; i++) {
                switch (c.tags[i]) {
                    case ClassFile.CLASS -> classNamed(c.className(i));
                    case ClassFile.FIELDREF, ClassFile.METHODREF, ClassFile.INTERFACE_METHODREF -> memberRef(i);
                    case ClassFile.METHOD_HANDLE, ClassFile.METHOD_TYPE ->
                        fail("a method handle or method type constant");
                    case ClassFile.DYNAMIC, ClassFile.INVOKE_DYNAMIC ->
                        fail("invokedynamic (lambda, method reference or string concatenation)");
                    default -> { }
                }
            }
            for (String descriptor : c.memberDescriptors) {
                descriptorTypes(descriptor);
            }
        }

        private void memberRef(int index) {
            String owner = c.className(c.refs[index][0]);
            int nameAndType = c.refs[index][1];
            String name = c.utf8(c.refs[nameAndType][0]);
            String descriptor = c.utf8(c.refs[nameAndType][1]);
            boolean field = c.tags[index] == ClassFile.FIELDREF;
            descriptorTypes(descriptor);
            if (owner.startsWith("[")) {
                classNamed(owner);  // an array's clone(), inherited from Object's
                return;
            }
            String outside = ownerOutside(owner, name, descriptor, field);
            if (outside != null) {
                String declaring = platform.declaringClass(outside, name, descriptor, field);
                check(memberKey(declaring == null ? outside : declaring, name, descriptor, field), declaring != null);
            }
        }

        /**
         * The outside class through which {@code owner} reaches the member,
         * or null when one of the jar's own classes declares it.
         */
        private String ownerOutside(String owner, String name, String descriptor, boolean field) {
            Deque<String> pending = new ArrayDeque<>(List.of(owner));
            Set<String> seen = new HashSet<>();
            String firstOutside = null;
            while (!pending.isEmpty()) {
                String type = pending.removeFirst();
                if (!seen.add(type)) {
                    continue;
                }
                ClassFile ownClass = own.get(type);
                if (ownClass == null) {
                    if (platform.hasMember(type, name, descriptor, field)) {
                        return type;
                    }
                    firstOutside = firstOutside == null ? type : firstOutside;
                } else if (ownClass.declares(name, descriptor, field)) {
                    return null;
                } else {
                    if (ownClass.superName != null) {
                        pending.addLast(ownClass.superName);
                    }
                    pending.addAll(ownClass.interfaces);
                }
            }
            return firstOutside;
        }

        private void descriptorTypes(String descriptor) {
            for (int i = descriptor.indexOf('L'); i >= 0; i = descriptor.indexOf('L', i)) {
                int end = descriptor.indexOf(';', i);
                classNamed(descriptor.substring(i + 1, end));  // L<name>;
                i = end;
            }
        }

        /** A class constant: an internal name, or an array's descriptor. */
        private void classNamed(String name) {
            String element = name;
            if (name.startsWith("[")) {
                element = name.replaceFirst("^\\[+", "");
                if (!element.startsWith("L")) {
                    return;  // an array of a primitive type
                }
                element = element.substring(1, element.length() - 1);
            }
            if (!own.containsKey(element)) {
                check(element.replace('/', '.'), platform.hasClass(element));
            }
        }

        private void check(String key, boolean inJava7) {
            used.add(key);
            Allowlist.Entry entry = allowlist.get(key);
            if (entry == null) {
                fail(key + " is not in the allowlist");
            } else if (entry.androidApi() > MAX_ANDROID_API || entry.java() > MAX_JAVA) {
                fail(key + " is listed as added in Android API " + entry.androidApi() + ", Java " + entry.javaText()
                    + ": above API " + MAX_ANDROID_API + " or Java " + MAX_JAVA + " (allowlist line " + entry.line() + ")");
            }
            if (!inJava7) {
                fail(key + " is not in Java 7's platform classes");
            }
        }

        private void fail(String what) {
            violations.add(where + ": " + what);
        }
    }

    /** {@code java.lang.Thread.getId()J} or {@code java.lang.System.out:Ljava/io/PrintStream;}. */
    static String memberKey(String owner, String name, String descriptor, boolean field) {
        return owner.replace('/', '.') + "." + name + (field ? ":" : "") + descriptor;
    }

    /**
     * The reviewed list: {@code <Android API level> <Java version> <key>} a
     * line, {@code #} starting a comment.
     */
    record Allowlist(Map<String, Entry> entries) {
        record Entry(int androidApi, int java, String javaText, int line) {
        }

        Entry get(String key) {
            return entries.get(key);
        }

        static Allowlist read(Path file) throws IOException {
            Map<String, Entry> entries = new HashMap<>();
            List<String> lines = Files.readAllLines(file);
            for (int i = 0; i < lines.size(); i++) {
                String line = lines.get(i).replaceFirst("#.*", "").trim();
                if (line.isEmpty()) {
                    continue;
                }
                String[] fields = line.split("\\s+");
                if (fields.length != 3 || !fields[0].matches("\\d+") || !fields[1].matches("1\\.\\d|\\d+")) {
                    throw new IOException(file + ":" + (i + 1) + ": expected <Android API level> <Java version> <key>");
                }
                // Java 1.0 to 1.4 all predate Java 5, which the levels only need to tell from 7.
                int java = fields[1].startsWith("1.") ? 1 : Integer.parseInt(fields[1]);
                if (entries.put(fields[2], new Entry(Integer.parseInt(fields[0]), java, fields[1], i + 1)) != null) {
                    throw new IOException(file + ":" + (i + 1) + ": " + fields[2] + " is listed twice");
                }
            }
            return new Allowlist(entries);
        }
    }

    /** Java 7's public and protected API, read lazily from ct.sym. */
    static final class Platform implements AutoCloseable {
        private final ZipFile ctSym;
        private final Map<String, ZipEntry> entries = new HashMap<>();
        private final Map<String, ClassFile> classes = new HashMap<>();

        Platform(Path ctSymPath) throws IOException {
            ctSym = new ZipFile(ctSymPath.toFile());
            for (ZipEntry entry : Collections.list(ctSym.entries())) {
                // <releases>/<module>/<class>.sig, one character a release.
                String[] parts = entry.getName().split("/", 3);
                if (parts.length == 3 && parts[0].indexOf('7') >= 0 && parts[2].endsWith(".sig")) {
                    entries.put(parts[2].substring(0, parts[2].length() - ".sig".length()), entry);
                }
            }
            if (entries.isEmpty()) {
                throw new IOException("no Java 7 classes in " + ctSymPath);
            }
        }

        boolean hasClass(String name) {
            return entries.containsKey(name);
        }

        boolean hasMember(String owner, String name, String descriptor, boolean field) {
            return declaringClass(owner, name, descriptor, field) != null;
        }

        /** Resolution as the JVM does it: the class, its superclasses, then its interfaces. */
        String declaringClass(String owner, String name, String descriptor, boolean field) {
            ClassFile c = load(owner);
            if (c == null) {
                return null;
            }
            if (c.declares(name, descriptor, field)) {
                return owner;
            }
            List<String> supertypes = new ArrayList<>();
            if (c.superName != null) {
                supertypes.add(c.superName);
            }
            supertypes.addAll(c.interfaces);
            if (supertypes.isEmpty() && !owner.equals("java/lang/Object")) {
                supertypes.add("java/lang/Object");  // interfaces have Object's public methods
            }
            for (String supertype : supertypes) {
                String found = declaringClass(supertype, name, descriptor, field);
                if (found != null) {
                    return found;
                }
            }
            return null;
        }

        private ClassFile load(String name) {
            ZipEntry entry = entries.get(name);
            if (entry == null) {
                return null;
            }
            return classes.computeIfAbsent(name, n -> {
                try (InputStream in = ctSym.getInputStream(entry)) {
                    return ClassFile.read(in);
                } catch (IOException e) {
                    throw new IllegalStateException("unreadable " + entry.getName() + " in ct.sym", e);
                }
            });
        }

        @Override
        public void close() throws IOException {
            ctSym.close();
        }
    }

    /** The parts of a class file (JVMS chapter 4) the check needs. */
    static final class ClassFile {
        static final int UTF8 = 1, CLASS = 7, STRING = 8, FIELDREF = 9, METHODREF = 10,
            INTERFACE_METHODREF = 11, NAME_AND_TYPE = 12, METHOD_HANDLE = 15, METHOD_TYPE = 16,
            DYNAMIC = 17, INVOKE_DYNAMIC = 18, MODULE = 19, PACKAGE = 20;

        int major;
        int[] tags;
        String[] utf8s;
        /** Per entry, its one or two constant pool indexes. */
        int[][] refs;
        String name;
        String superName;
        final List<String> interfaces = new ArrayList<>();
        final Set<String> fields = new HashSet<>();
        final Set<String> methods = new HashSet<>();
        final List<String> memberDescriptors = new ArrayList<>();
        boolean hasBootstrapMethods;

        String utf8(int index) {
            return utf8s[index];
        }

        String className(int index) {
            return utf8(refs[index][0]);
        }

        boolean declares(String memberName, String descriptor, boolean field) {
            return field ? fields.contains(memberName + ":" + descriptor) : methods.contains(memberName + descriptor);
        }

        static ClassFile read(InputStream stream) throws IOException {
            DataInputStream in = new DataInputStream(stream);
            ClassFile c = new ClassFile();
            if (in.readInt() != 0xCAFEBABE) {
                throw new IOException("not a class file");
            }
            in.readUnsignedShort();  // minor version
            c.major = in.readUnsignedShort();
            int count = in.readUnsignedShort();
            c.tags = new int[count];
            c.utf8s = new String[count];
            c.refs = new int[count][];
            for (int i = 1; i < count; i++) {
                int tag = in.readUnsignedByte();
                c.tags[i] = tag;
                switch (tag) {
                    case UTF8 -> c.utf8s[i] = in.readUTF();
                    case CLASS, STRING, METHOD_TYPE, MODULE, PACKAGE -> c.refs[i] = new int[] {in.readUnsignedShort()};
                    case FIELDREF, METHODREF, INTERFACE_METHODREF, NAME_AND_TYPE, DYNAMIC, INVOKE_DYNAMIC ->
                        c.refs[i] = new int[] {in.readUnsignedShort(), in.readUnsignedShort()};
                    case METHOD_HANDLE -> c.refs[i] = new int[] {in.readUnsignedByte(), in.readUnsignedShort()};
                    case 3, 4 -> in.readInt();  // Integer, Float
                    case 5, 6 -> {  // Long, Double: two entries
                        in.readLong();
                        i++;
                    }
                    default -> throw new IOException("unknown constant pool tag " + tag);
                }
            }
            in.readUnsignedShort();  // access flags
            c.name = c.className(in.readUnsignedShort());
            int superIndex = in.readUnsignedShort();
            c.superName = superIndex == 0 ? null : c.className(superIndex);
            for (int n = in.readUnsignedShort(); n > 0; n--) {
                c.interfaces.add(c.className(in.readUnsignedShort()));
            }
            c.readMembers(in, c.fields, ":");
            c.readMembers(in, c.methods, "");
            for (int n = in.readUnsignedShort(); n > 0; n--) {
                c.hasBootstrapMethods |= c.utf8(in.readUnsignedShort()).equals("BootstrapMethods");
                in.skipNBytes(in.readInt());
            }
            return c;
        }

        private void readMembers(DataInputStream in, Set<String> members, String separator) throws IOException {
            for (int n = in.readUnsignedShort(); n > 0; n--) {
                in.readUnsignedShort();  // access flags
                String memberName = utf8(in.readUnsignedShort());
                String descriptor = utf8(in.readUnsignedShort());
                members.add(memberName + separator + descriptor);
                memberDescriptors.add(descriptor);
                skipAttributes(in);
            }
        }

        private static void skipAttributes(DataInputStream in) throws IOException {
            for (int n = in.readUnsignedShort(); n > 0; n--) {
                in.readUnsignedShort();  // name
                in.skipNBytes(in.readInt());
            }
        }
    }
}

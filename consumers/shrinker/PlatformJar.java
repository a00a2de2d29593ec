import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.HashSet;
import java.util.Set;
import java.util.zip.ZipEntry;
import java.util.zip.ZipFile;
import java.util.zip.ZipOutputStream;

/**
 * Writes the Java 11 platform classes as a jar a shrinker can take as its
 * library: the JDK's own jmods hold class files newer than older shrinkers
 * read.
 *
 * <p>The JDK's {@code lib/ct.sym} holds the platform's signatures for every
 * release it can compile for, as {@code <releases>/<module>/<path>.sig}
 * entries; a folder's name lists the releases its entries belong to, one
 * character each, release 11 being {@code B}. An entry is a class file
 * stripped of code; this program renames it to {@code .class} and marks it
 * as a Java 11 class file (major version 55).
 *
 * <p>Usage: {@code java PlatformJar.java <ct.sym> <out.jar>}
 */
public final class PlatformJar {
    private static final char RELEASE = 'B';
    private static final int MAJOR_VERSION = 55;

    private PlatformJar() {
    }

    public static void main(String[] args) throws IOException {
        Set<String> written = new HashSet<>();
        try (ZipFile ctSym = new ZipFile(args[0]);
             OutputStream file = Files.newOutputStream(Paths.get(args[1]));
             ZipOutputStream out = new ZipOutputStream(file)) {
            for (ZipEntry entry : java.util.Collections.list(ctSym.entries())) {
                String[] parts = entry.getName().split("/", 3);
                if (parts.length < 3 || parts[0].indexOf(RELEASE) < 0 || !parts[2].endsWith(".sig")) {
                    continue;
                }
                String name = parts[2].substring(0, parts[2].length() - ".sig".length()) + ".class";
                if (name.endsWith("module-info.class") || !written.add(name)) {
                    continue;
                }
                byte[] bytes;
                try (InputStream in = ctSym.getInputStream(entry)) {
                    bytes = in.readAllBytes();
                }
                // Class file: magic (4 bytes), minor version (2), major version (2).
                bytes[6] = (byte) (MAJOR_VERSION >> 8);
                bytes[7] = (byte) MAJOR_VERSION;
                out.putNextEntry(new ZipEntry(name));
                out.write(bytes);
                out.closeEntry();
            }
        }
        if (written.isEmpty()) {
            throw new IOException("no release 11 classes in " + args[0]);
        }
    }
}

#!/usr/bin/env bash
# check-rejects.sh <JDK home> <checker jar> <work dir>
# Compiles tiny classes, one fault each, and fails unless the checker
# refuses each with a message naming the class and the fault; a class
# without a fault must pass, so that a checker refusing everything fails too.
set -eu
jdk=$1 checker=$2 work=$3
rm -rf "$work" && mkdir -p "$work"

# An allowlist of the test's own: what the faultless class needs, one entry
# listed at a level above API 16, and one that claims to be in Java 7 but
# is not.
cat >"$work/allowlist.txt" <<'EOF'
1  1.0 java.lang.Object
1  1.0 java.lang.Object.<init>()V
1  1.0 java.lang.Exception
1  1.0 java.lang.Exception.<init>()V
19 7   java.lang.AutoCloseable
1  1.0 java.lang.Throwable
19 7   java.lang.Throwable.addSuppressed(Ljava/lang/Throwable;)V
1  1.4 java.nio.ByteBuffer
1  1.4 java.nio.ByteBuffer.allocate(I)Ljava/nio/ByteBuffer;
1  1.4 java.nio.ByteBuffer.position(I)Ljava/nio/ByteBuffer;
EOF

# write_source <release> <class name>, the source on stdin.
write_source() {
  mkdir -p "$work/src$1"
  cat >"$work/src$1/$2.java"
}

write_source 7 Faultless <<'EOF'
public class Faultless {
}
EOF

write_source 8 Version52 <<'EOF'
public class Version52 {
}
EOF

write_source 8 Lambda <<'EOF'
public class Lambda {
    Runnable task = () -> { };
}
EOF

write_source 7 RequireNonNull <<'EOF'
public class RequireNonNull {
    RequireNonNull(Object o) {
        java.util.Objects.requireNonNull(o);
    }
}
EOF

write_source 7 TryWithResources <<'EOF'
public class TryWithResources {
    static class Resource implements AutoCloseable {
        @Override
        public void close() {
        }
    }

    void use() {
        try (Resource r = new Resource()) {
            r.hashCode();
        }
    }
}
EOF

# Named through a class of the jar itself, the member is still the JDK's.
write_source 7 InheritedCall <<'EOF'
public class InheritedCall extends Exception {
    private static final long serialVersionUID = 1L;

    void keep(Exception e) {
        addSuppressed(e);
    }
}
EOF

# The covariant override that came with Java 9, listed as if it were older.
write_source 9 CovariantPosition <<'EOF'
public class CovariantPosition {
    Object at(int i) {
        return java.nio.ByteBuffer.allocate(8).position(i);
    }
}
EOF

# One compiler run per release and one checker run for all: each launch of
# a JVM costs seconds on a busy machine.
releases=()
for dir in "$work"/src*; do
  release=${dir##*/src}
  "$jdk/bin/javac" --release "$release" -Xlint:-options -d "$work/release$release" "$dir"/*.java
  releases+=("$work/release$release")
done
status=0
"$jdk/bin/java" -jar "$checker" --allowlist "$work/allowlist.txt" --ct-sym "$jdk/lib/ct.sym" \
  "${releases[@]}" >"$work/out.txt" 2>&1 || status=$?

failed=0
[ "$status" -eq 1 ] || { echo "check-rejects.sh: the checker exited with $status, not 1" >&2; failed=1; }
# expect <class> <message>: the checker refused the class with that message.
expect() {
  grep -qF " $1: $2" "$work/out.txt" && return
  echo "check-rejects.sh: $1 was not refused with: $2" >&2
  failed=1
}
expect Version52 "class file version 52"
expect Lambda "invokedynamic"
expect RequireNonNull "java.util.Objects.requireNonNull(Ljava/lang/Object;)Ljava/lang/Object; is not in the allowlist"
expect TryWithResources "java.lang.Throwable.addSuppressed(Ljava/lang/Throwable;)V is listed as added in Android API 19"
expect InheritedCall "java.lang.Throwable.addSuppressed(Ljava/lang/Throwable;)V is listed as added in Android API 19"
expect CovariantPosition "java.nio.ByteBuffer.position(I)Ljava/nio/ByteBuffer; is not in Java 7's platform classes"
if grep -qF " Faultless: " "$work/out.txt"; then
  echo "check-rejects.sh: a class without a fault was refused" >&2
  failed=1
fi
[ "$failed" -eq 0 ] || cat "$work/out.txt"
exit $failed

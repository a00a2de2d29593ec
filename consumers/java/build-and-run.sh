#!/usr/bin/env bash
# build-and-run.sh <jar folder> <library folder> <work dir> <JDK home> <java launcher...>
# An outside Java program compiled against the installed jar and run on the
# given JVM with the installed libraries, failing on any JNI warning.
set -eu
jars=$1 libs=$2 work=$3 jdk=$4
shift 4
here=$(cd "$(dirname "$0")" && pwd)
jar="$jars/trellum-jvm.jar"

rm -rf "$work" && mkdir -p "$work"
"$jdk/bin/javac" --release 11 -Xlint:all -Werror -d "$work" -cp "$jar" \
  "$here/src/com/example/consumer/ChannelConsumer.java"
exec "$here/../../tools/run-junit.sh" "$@" -Xcheck:jni "-Djava.library.path=$libs" \
  -cp "$work:$jar" com.example.consumer.ChannelConsumer

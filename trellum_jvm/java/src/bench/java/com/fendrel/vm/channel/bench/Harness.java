package com.fendrel.vm.channel.bench;

import java.io.IOException;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

/**
 * Interleaved measurement of contenders, the printed table and the results
 * file that the chart is drawn from.
 *
 * <p>Every contender first runs untimed rounds so that the JIT has compiled
 * its path; then the contenders take turns, each round starting with the
 * next one, so that drifts of clock speed and neighbouring load on a shared
 * machine hit all alike. A row keeps each contender's median.
 */
final class Harness {
    /** One round of a contender's workload: returns nanoseconds per operation. */
    interface Round {
        double run() throws InterruptedException;
    }

    static final class Contender {
        final String name;
        final Round round;
        final List<Double> figures = new ArrayList<>();

        Contender(String name, Round round) {
            this.name = name;
            this.round = round;
        }

        double median() {
            double[] sorted = figures.stream().mapToDouble(Double::doubleValue).sorted().toArray();
            if (sorted.length == 0) {
                return 0;
            }
            int middle = sorted.length / 2;
            return sorted.length % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
        }
    }

    private final List<String> results = new ArrayList<>();

    /**
     * Measures the contenders and prints their medians and each one's ratio to
     * the contender named {@code reference}.
     */
    void measure(String workload, String unit, String reference, int warmups, int rounds,
                 List<Contender> contenders) throws InterruptedException {
        for (Contender c : contenders) {
            for (int i = 0; i < warmups; i++) {
                c.round.run();
            }
        }
        for (int r = 0; r < rounds; r++) {
            for (int k = 0; k < contenders.size(); k++) {
                Contender c = contenders.get((k + r) % contenders.size());
                c.figures.add(c.round.run());
            }
        }
        double referenceFigure = 0;
        for (Contender c : contenders) {
            if (c.name.equals(reference)) {
                referenceFigure = c.median();
            }
        }
        System.out.printf("%n%s (medians of %d interleaved rounds)%n", workload, rounds);
        System.out.printf("  %-40s %12s %24s%n", "contender", unit, "x " + reference);
        for (Contender c : contenders) {
            double m = c.median();
            System.out.printf("  %-40s %12.1f %24s%n", c.name, m,
                    referenceFigure > 0 ? String.format("%.2f", m / referenceFigure) : "n/a");
            results.add(workload + "\t" + unit + "\t" + c.name + "\t" + String.format("%.3f", m));
        }
        System.out.flush();
    }

    void writeResults(Path path) throws IOException {
        try (PrintWriter out = new PrintWriter(Files.newBufferedWriter(path, StandardCharsets.UTF_8))) {
            for (String line : results) {
                out.println(line);
            }
        }
    }

    static List<Contender> contenders(Contender... all) {
        return new ArrayList<>(Arrays.asList(all));
    }
}

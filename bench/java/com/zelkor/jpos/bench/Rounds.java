package com.zelkor.jpos.bench;

import java.util.Arrays;

/**
 * Runs variants round by round, each round in a rotated order, so that whatever the shared
 * machine does at a given moment falls on all of them alike; the ratio of a round is taken
 * within that round, and the figures quoted are medians over the rounds.
 */
final class Rounds {
    /** One batch of a variant: runs {@code count} operations, returns elapsed ns or -1. */
    interface Batch {
        long run(int count) throws Exception;
    }

    /** Nanoseconds per operation, [variant][round]. */
    final double[][] perOperation;

    private Rounds(double[][] perOperation) {
        this.perOperation = perOperation;
    }

    static Rounds run(int rounds, int count, Batch... variants) throws Exception {
        double[][] result = new double[variants.length][rounds];
        for (int round = 0; round < rounds; ++round) {
            for (int step = 0; step < variants.length; ++step) {
                int variant = (round + step) % variants.length;
                long elapsed = variants[variant].run(count);
                if (elapsed < 0) {
                    throw new IllegalStateException("variant " + variant + " failed in round " + round);
                }
                result[variant][round] = (double) elapsed / count;
            }
        }
        return new Rounds(result);
    }

    double median(int variant) {
        return median(perOperation[variant]);
    }

    /** The median over rounds of variant / baseline, both from the same round. */
    double ratio(int variant, int baseline) {
        double[] ratios = new double[perOperation[variant].length];
        for (int round = 0; round < ratios.length; ++round) {
            ratios[round] = perOperation[variant][round] / perOperation[baseline][round];
        }
        return median(ratios);
    }

    static double median(double[] values) {
        double[] sorted = values.clone();
        Arrays.sort(sorted);
        int middle = sorted.length / 2;
        return sorted.length % 2 != 0 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
    }
}

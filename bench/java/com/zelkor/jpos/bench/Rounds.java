// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.bench;

import java.util.Arrays;

/**
 * Runs variants round by round, so that whatever the shared machine does at a given moment
 * falls on all of them alike; the ratio of a round is taken within that round, and the figures
 * quoted are medians over the rounds. Each round takes its own order: a rotation would keep
 * every variant behind the same neighbour, and a variant that leaves the CPU idle (a timed read
 * that sleeps) slows whichever batch always follows it.
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
        // A fixed seed: the same run gives the same orders.
        java.util.Random orders = new java.util.Random(9100);
        java.util.List<Integer> order = new java.util.ArrayList<>();
        for (int variant = 0; variant < variants.length; ++variant) {
            order.add(variant);
        }
        for (int round = 0; round < rounds; ++round) {
            java.util.Collections.shuffle(order, orders);
            for (int variant : order) {
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

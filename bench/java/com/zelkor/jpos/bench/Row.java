// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.bench;

/** One row of the table; every figure already formatted. */
final class Row {
    final String measurement;
    final String variant;
    final String median;
    final String baseline;
    final String ratio;
    final String goal;
    final String met;

    Row(String measurement, String variant, String median, String baseline, String ratio,
            String goal, String met) {
        this.measurement = measurement;
        this.variant = variant;
        this.median = median;
        this.baseline = baseline;
        this.ratio = ratio;
        this.goal = goal;
        this.met = met;
    }

    /** A row as the native benchmark programs print it: ROW and seven tab-separated cells. */
    static Row parse(String line) {
        String[] cells = line.split("\t", -1);
        if (cells.length != 8 || !cells[0].equals("ROW")) {
            return null;
        }
        return new Row(cells[1], cells[2], cells[3], cells[4], cells[5], cells[6], cells[7]);
    }

    String print() {
        return "ROW\t" + String.join("\t", measurement, variant, median, baseline, ratio, goal, met);
    }

    static String microseconds(double ns) {
        return String.format("%.1f us", ns / 1000);
    }

    static String times(double ratio) {
        return String.format("%.3fx", ratio);
    }

    static String verdict(boolean met) {
        return met ? "yes" : "NO";
    }
}

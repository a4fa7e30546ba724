// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.bench;

/** How much of everything one run does: the full run, or one short pass for CI. */
final class Settings {
    final boolean quick;
    /** Sections to run, by name; empty for all. */
    final java.util.Set<String> only = new java.util.HashSet<>();
    final int warmupRounds;
    final int rounds;
    final int roundTrips;
    final long bulkBytes;
    final int bulkRounds;
    final int shortReplyRounds;
    final int shortReplies;
    final int longReplyRounds;
    final int traceRounds;
    final int traceLines;
    final int steadyUntraced;
    final int steadyTraced;
    final int limitSeconds;

    private Settings(boolean quick) {
        this.quick = quick;
        warmupRounds = quick ? 1 : 20;
        rounds = quick ? 3 : 101;
        roundTrips = quick ? 5 : 200;
        bulkBytes = quick ? 64 << 10 : 8 << 20;
        bulkRounds = quick ? 3 : 41;
        shortReplyRounds = quick ? 3 : 401;
        shortReplies = quick ? 2 : 5;
        longReplyRounds = quick ? 1 : 11;
        traceRounds = quick ? 3 : 51;
        traceLines = quick ? 20 : 2000;
        steadyUntraced = quick ? 1000 : 1_000_000;
        steadyTraced = quick ? 100 : 100_000;
        limitSeconds = quick ? 900 : 1800;
    }

    /** Arguments: --quick, and --only=SECTION,... with sections tcp, bulk, serial, rxtx, trace, steady. */
    static Settings of(String[] args) {
        boolean quick = false;
        java.util.Set<String> only = new java.util.HashSet<>();
        for (String arg : args) {
            if (arg.equals("--quick")) {
                quick = true;
            } else if (arg.startsWith("--only=")) {
                only.addAll(java.util.Arrays.asList(arg.substring(7).split(",")));
            } else {
                throw new IllegalArgumentException("unknown argument " + arg
                        + " (--quick, --only=tcp,bulk,serial,rxtx,trace,steady)");
            }
        }
        Settings settings = new Settings(quick);
        settings.only.addAll(only);
        return settings;
    }

    boolean runs(String section) {
        return only.isEmpty() || only.contains(section);
    }
}

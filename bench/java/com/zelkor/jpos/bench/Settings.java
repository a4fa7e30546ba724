package com.zelkor.jpos.bench;

/** How much of everything one run does: the full run, or one short pass for CI. */
final class Settings {
    final boolean quick;
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
        bulkRounds = quick ? 3 : 21;
        shortReplyRounds = quick ? 3 : 51;
        shortReplies = quick ? 2 : 20;
        longReplyRounds = quick ? 1 : 11;
        traceRounds = quick ? 3 : 51;
        traceLines = quick ? 20 : 2000;
        steadyUntraced = quick ? 1000 : 1_000_000;
        steadyTraced = quick ? 100 : 100_000;
        limitSeconds = quick ? 300 : 1200;
    }

    static Settings of(String[] args) {
        boolean quick = false;
        for (String arg : args) {
            if (arg.equals("--quick")) {
                quick = true;
            } else {
                throw new IllegalArgumentException("unknown argument " + arg + " (only --quick)");
            }
        }
        return new Settings(quick);
    }
}

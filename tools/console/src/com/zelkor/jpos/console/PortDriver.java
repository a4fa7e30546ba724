// SPDX-License-Identifier: Apache-2.0
package com.zelkor.jpos.console;

import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.util.Locale;

/**
 * The port class of this platform: LinPortComm on Linux, WinPortComm on Windows. Both declare
 * the same six native methods; they are reached by reflection so that the console builds and
 * runs whichever of the two a jar holds, and so that {@code help} works without any library.
 */
final class PortDriver {
    private static final String PACKAGE = "com.zelkor.jpos.services.";

    private final boolean windows;
    private final Object port;
    private final Method openDevice;
    private final Method closeDevice;
    private final Method readData;
    private final Method writeData;
    private final Method setDeviceTimeout;

    private PortDriver(boolean windows, Class<?> type) throws ReflectiveOperationException {
        this.windows = windows;
        port = type.getConstructor().newInstance();
        openDevice = type.getMethod("openDevice", String.class, String.class, int.class,
                boolean.class, int.class);
        closeDevice = type.getMethod("closeDevice");
        readData = type.getMethod("readData", long.class);
        writeData = type.getMethod("writeData", byte[].class, long.class);
        setDeviceTimeout = type.getMethod("SetDeviceTimeout", long.class, long.class);
    }

    /** Loads the port class, and with it the native library, for the running platform. */
    static PortDriver load() throws CommandError {
        boolean windows =
                System.getProperty("os.name", "").toLowerCase(Locale.ROOT).startsWith("windows");
        String name = PACKAGE + (windows ? "WinPortComm" : "LinPortComm");
        try {
            return new PortDriver(windows, Class.forName(name));
        } catch (ClassNotFoundException e) {
            throw new CommandError(CommandError.NO_LIBRARY,
                    "this console was built without " + name + " (is zkpos.jar on the class path?)");
        } catch (LinkageError e) {
            // UnsatisfiedLinkError from the loader, which already says what it tried.
            Throwable cause = e instanceof ExceptionInInitializerError && e.getCause() != null
                    ? e.getCause() : e;
            throw new CommandError(CommandError.NO_LIBRARY, cause.getMessage());
        } catch (ReflectiveOperationException e) {
            throw new CommandError(CommandError.NO_LIBRARY,
                    name + " does not have the expected methods: " + e);
        }
    }

    boolean isWindows() {
        return windows;
    }

    long openDevice(String bus, String portName, int baudRate, boolean debug, int verbosity) {
        return (Long) call(openDevice, bus, portName, baudRate, debug, verbosity);
    }

    long closeDevice() {
        return (Long) call(closeDevice);
    }

    byte[] readData() {
        return (byte[]) call(readData, 0L);
    }

    long writeData(byte[] data) {
        return (Long) call(writeData, data, (long) data.length);
    }

    void setDeviceTimeout(long writeSeconds, long readSeconds) {
        call(setDeviceTimeout, writeSeconds, readSeconds);
    }

    private Object call(Method method, Object... arguments) {
        try {
            return method.invoke(port, arguments);
        } catch (IllegalAccessException e) {
            throw new IllegalStateException(method.getName() + " is not public", e);
        } catch (InvocationTargetException e) {
            // The native methods never throw; anything here is a fault worth its stack trace.
            throw new IllegalStateException(method.getName() + " failed", e.getCause());
        }
    }
}

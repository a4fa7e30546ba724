// SPDX-License-Identifier: Apache-2.0
import com.zelkor.jpos.services.LinPortComm;
import java.nio.charset.StandardCharsets;

/** Sends one frame to the device on HOST:9100 and prints the reply and the jar's version. */
public final class TalkToDevice {
    public static void main(String[] args) {
        LinPortComm port = new LinPortComm();
        port.SetDeviceTimeout(3, 3);
        if (port.openDevice("Ethernet", args[0], 0, false, 0) != 0) {
            System.err.println("TalkToDevice: cannot connect to " + args[0]);
            System.exit(1);
        }
        byte[] frame = "\u0002from Maven\u0003".getBytes(StandardCharsets.US_ASCII);
        long sent = port.writeData(frame, frame.length);
        byte[] reply = port.readData(0);
        port.closeDevice();
        if (sent != frame.length || reply == null) {
            System.err.println("TalkToDevice: sent " + sent + ", reply " + (reply == null ? "none" : reply.length));
            System.exit(1);
        }
        System.out.println("zkpos " + LinPortComm.class.getPackage().getImplementationVersion()
                + " reply: " + new String(reply, StandardCharsets.US_ASCII).replace("\u0006", "<ACK>")
                        .replace("\u0002", "<STX>").replace("\u0003", "<ETX>"));
    }
}

// SPDX-License-Identifier: Apache-2.0
import com.zelkor.jpos.services.LinPortComm;
import java.nio.charset.StandardCharsets;

/**
 * Sends one framed message to a device on TCP port 9100 and prints its reply.
 *
 * <pre>java -Dzkpos.library=libZkPosSo64.so -cp zkpos.jar:zkpos-example.jar SendMessage 127.0.0.1 "Hello"</pre>
 */
public final class SendMessage {
    private static final byte STX = 0x02;
    private static final byte ETX = 0x03;

    public static void main(String[] args) {
        String host = args.length > 0 ? args[0] : "127.0.0.1";
        String message = args.length > 1 ? args[1] : "Hello, device";

        LinPortComm port = new LinPortComm();
        port.SetDeviceTimeout(3, 3);
        if (port.openDevice("Ethernet", host, 0, true, 5) != 0) {
            System.err.println("SendMessage: cannot connect to " + host + ":9100");
            System.exit(1);
        }

        byte[] text = message.getBytes(StandardCharsets.US_ASCII);
        byte[] frame = new byte[text.length + 2];
        frame[0] = STX;
        System.arraycopy(text, 0, frame, 1, text.length);
        frame[frame.length - 1] = ETX;
        long sent = port.writeData(frame, frame.length);
        System.out.println("sent " + sent + " bytes: " + show(frame));

        byte[] reply = port.readData(0);
        port.closeDevice();
        if (reply == null) {
            System.err.println("SendMessage: no reply within the read time-out");
            System.exit(1);
        }
        System.out.println("reply " + reply.length + " bytes: " + show(reply));
    }

    private static String show(byte[] bytes) {
        StringBuilder text = new StringBuilder();
        for (byte b : bytes) {
            int value = b & 0xff;
            if (value < 0x20 || value > 0x7e) {
                text.append(String.format("<%02x>", value));
            } else {
                text.append((char) value);
            }
        }
        return text.toString();
    }
}

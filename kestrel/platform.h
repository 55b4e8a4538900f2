// platform.h - the operating-system services that kestrel uses, and nothing else.
//
// Serial port (one open at a time):
//   plat_port_open(n, baud)   open COMn exclusively and set raw 8N1 at baud, no flow
//                             control, both queues flushed, break off, DTR and RTS up.
//                             0 on success, -1 when the port can't be had.  Settings
//                             the driver refuses (an odd baud rate) are not failures.
//   plat_port_queue()         bytes waiting in the receive queue, -1 if the query fails
//   plat_port_read(buf, n)    read n bytes (callers ask only for what is waiting);
//                             returns the count read, 0 on failure
//   plat_port_write(buf, n)   blocking write; returns the count written
//   plat_port_hung_up()       1 once a call above failed because the port hung up
//                             (far end closed, adapter unplugged), else 0
//   plat_port_close()
// Port registry, read only; values are "COM<n>" strings:
//   plat_reg_open()           0, or -1 when there is no registry to read
//   plat_reg_value(i, d, sz)  value i into d: 1 for a string, 0 for another type,
//                             -1 past the last value or on any failure
//   plat_reg_close()
//   plat_port_props(n, p)     open COMn on its own and read its driver properties:
//                             1 with *p filled, 0 opened but no properties, -1 no open
// Console and process:
//   plat_console_init()       keyboard raw without echo, stdout unbuffered; ending
//                             signals restore the console first. A console that
//                             another process group has in the foreground is left
//                             alone and no keys are read from it.
//   plat_console_restore()    put the console back as it was found
//   plat_key_poll()           next key byte, or -1 when none is waiting; never waits
//   plat_sigint(ignore)       ignore the interrupt signal, or give back its default.
//                             While ignored, Ctrl-C, Ctrl-Z and Ctrl-\ on a Linux
//                             console are keys (0x03, 0x1A, 0x1C); where no console
//                             gives keys, an interrupt makes plat_key_poll return 1.
//   plat_exit(code)           restore the console and end the process
//   plat_clock_ms()           wall-clock milliseconds since the process started
//   plat_sleep_ms(ms)
#ifndef KESTREL_PLATFORM_H
#define KESTREL_PLATFORM_H

// The seven figures a serial driver reports about a port.
struct plat_props {
    long tx_queue;
    long rx_queue;
    unsigned long settable_baud;
    unsigned long max_baud;
    unsigned settable_data;
    unsigned long sub_type;
    unsigned long capabilities;
};

int plat_port_open(int port, int baud);
int plat_port_queue(void);
int plat_port_read(unsigned char* buf, int n);
int plat_port_write(const unsigned char* buf, int n);
int plat_port_hung_up(void);
void plat_port_close(void);

int plat_reg_open(void);
int plat_reg_value(int index, char* data, int size);
void plat_reg_close(void);
int plat_port_props(int port, plat_props* props);

void plat_console_init(void);
void plat_console_restore(void);
int plat_key_poll(void);
void plat_sigint(int ignore);
[[noreturn]] void plat_exit(int code);
long plat_clock_ms(void);
void plat_sleep_ms(int ms);

#endif

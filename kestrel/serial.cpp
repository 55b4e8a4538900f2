// serial.cpp - the one serial channel (RS_ operations) and the keyboard poll.
#include "kestrel.h"
#include "platform.h"

// Port 0 with a name from -c opens the named device; messages show the name.
int RS_open(int port, int baud)
{
    const char* name = port == 0 ? port_name : nullptr;
    if ((name ? plat_port_open_name(name, baud) : plat_port_open(port, baud)) != 0) {
        if (name)
            fprintf(stderr, "Can't Open COM Port (%s:).\n", name);
        else
            fprintf(stderr, "Can't Open COM Port (COM%d:).\n", port);
        plat_exit(1);
    }
    return 0;
}

static const char HUNG_UP[] = "port hung up";

// A port that hung up stays silent for good: every mode ends there.
int RS_checkdata(void)
{
    int n = plat_port_queue();
    if (n < 0 && plat_port_hung_up()) RS_fatal(HUNG_UP);
    return n < 0 ? 0 : n;
}

int RS_read(unsigned char* buf, int n)
{
    int got = plat_port_read(buf, n);
    if (got <= 0 && plat_port_hung_up()) RS_fatal(HUNG_UP);
    return got < 0 ? 0 : got;
}

int RS_write(const unsigned char* buf, int n)
{
    if (plat_port_write(buf, n) != n) RS_fatal(plat_port_hung_up() ? HUNG_UP : "cnt != dwWritten");
    return n;
}

int RS_putc(int c)
{
    unsigned char b = (unsigned char)c;
    RS_write(&b, 1);
    return 0;
}

void RS_close(void)
{
    plat_port_close();
}

void RS_fatal(const char* msg)
{
    message_line();
    fprintf(stderr, "FATAL: COM Port Read/Write Error. %s\n", msg);
    RS_close();
    plat_exit(-1);
}

int key_poll(void)
{
    return plat_key_poll();
}

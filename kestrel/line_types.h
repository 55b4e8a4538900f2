// line_types.h - what a serial line is set to and what its modem lines show:
// the plain types that the options, the channel and the ports share.
#ifndef KESTREL_LINE_TYPES_H
#define KESTREL_LINE_TYPES_H

// The line's framing and flow control (-m, -f), set on every open.
struct line_format {
    int data_bits; // 5 to 8
    char parity; // 'N' none, 'E' even, 'O' odd, 'M' mark, 'S' space
    int stop_bits; // 1 or 2
    char flow; // 'n' none, 'h' RTS/CTS, 's' XON/XOFF; 0: as the port has it
};

// The modem lines: 1 asserted, as the operating system reports them.
struct modem_state {
    int dtr, rts, cts, dsr, dcd, ri;
};

#endif

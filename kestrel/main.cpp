// main.cpp - the option walk and the choice of one mode.
#include "main.h"
#include "bench.h"
#include "echoback.h"
#include "linectl.h"
#include "net/netport.h"
#include "options.h"
#include "portlist.h"
#include "ports.h"
#include "script_run.h"
#include "terminal.h"
#include "platform/platform.h"
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>

// The usage text's option lines, the same in both encodings.
#define USAGE_OPTIONS                                                                              \
    "Options\n"                                                                                    \
    "  -c<comNumber> ... Set COM Port Number. (1..99) \n"                                          \
    "  -b<BaudRate>  ... Set Baud rate. \n"                                                        \
    "  -l<logfile>   ... Save RS232C log file. \n"                                                 \
    "  -u<uploadfile>... upload file.\n"                                                           \
    "  -U<uploadfile>... upload file after 'UB\\n'.\n"                                             \
    "  -p            ... Print COM-Port information.\n"

static const char usage_text[]
    = "* kestrel     \x96\xb3\x8e\xe8\x8f\x87\x92[\x96\x96\x82\xc6\x82\xb5\x82\xc4"
      "\x8bN\x93\xae\x82\xb7\x82\xe9.\n"
      "* kestrel -e  \x83G\x83R\x81[\x83o\x83\x62\x83N\x83T\x81[\x83o\x81[\x82\xc6"
      "\x82\xb5\x82\xc4\x8bN\x93\xae\x82\xb7\x82\xe9.\n"
      "* kestrel -t  \x83x\x83\x93\x83`\x83}\x81[\x83N\x83\x65\x83X\x83g.\n" USAGE_OPTIONS;

// The same text for a console that shows Unicode: the lines above read as
// code page 932 (Shift_JIS), in UTF-8.
static const char usage_utf8[] = "* kestrel     無手順端末として起動する.\n"
                                 "* kestrel -e  エコーバックサーバーとして起動する.\n"
                                 "* kestrel -t  ベンチマークテスト.\n" USAGE_OPTIONS;

// --help: the options beyond the usage text, one line each.
static const char more_options[]
    = "  -s            ... With -U, type CR CR instead of CR UB CR.\n"
      "  -d            ... With -t, a trace line for every checked block.\n"
      "  -h, -?, --    ... Print the usage text (--help: with these lines).\n"
      "  -L            ... List the serial ports in detail.\n"
      "  -w            ... Wait for the port, and again after it hung up.\n"
      "  -T            ... Start each received line with the time of day.\n"
      "  -x            ... Show the received bytes in hex.\n"
      "  -m<framing>   ... Data bits 5-8, parity N/E/O/M/S, stop bits 1-2, as 7E1.\n"
      "  -f<flow>      ... Flow control: n none, h RTS/CTS, s XON/XOFF.\n"
      "  -r<sequence>  ... DTR/RTS steps once the port is open, as dtr=0,100,dtr=1.\n"
      "  -k            ... Ctrl-T is a command key (Ctrl-T h lists the commands).\n"
      "  -F<command>   ... Run a program (a flasher) first, then wait for the port.\n"
      "  -S<file>      ... Run the script in the file (-S- standard input), then end.\n"
      "  -E<steps>     ... Run the steps given, as -E 'send \"\\r\"; expect \"=> \"'.\n"
      "  --version     ... Print the version.\n";

// The usage text in the console's encoding: elsewhere (a file, a pipe, another
// locale) its bytes as they are.
static void show_usage(void)
{
    fflush(stdout);
    if (!plat_console_unicode(usage_utf8, (int)strlen(usage_utf8))) printf("%s", usage_text);
}

// The end of a report (-p, -L, the usage text, --version): one that could
// not be written all the way (a full disk, a closed pipe) is a failure.
static int report_end(int code)
{
    errno = 0;
    if (fflush(stdout) == 0 && !ferror(stdout)) return code;
    fprintf(stderr, "FATAL: can't write standard output: %s\n", strerror(errno ? errno : EIO));
    return 1;
}


// A network port given with -c whose URL is bad is refused before anything
// is opened or created.
static bool network_url_ok(void)
{
    const char* value = option_text('c');
    net_url url;
    const char* why = "";
    if (!value || net_parse_url(value, &url, &why) >= 0) return true;
    fprintf(stderr, "Can't Open COM Port (%s: bad URL, %s).\n", option_skip_blanks(value), why);
    return false;
}

// A rate no port can run at (0 is the hang-up rate of a real UART, which
// drops DTR) ends the run before any port is opened.
static void check_rate_option(void)
{
    long long rate;
    const char* value = option_text('b');
    if (!value || !read_rate(value, &rate) || (rate > 0 && rate <= 2147483647LL)) return;
    fprintf(stderr, "Fatal: baud rate out of range (1..2147483647): %s\n", value);
    plat_exit(1);
}

int kestrel_main(int argc, char** argv)
{
    int code = 0;
    options_reset();
    parse_args(argc, argv);
    fputs(option_warnings(), stderr);
    // --version; --help and every other "--..." are the usage letter "-"
    if (option_text('-') && strcmp(option_text('-'), "version") == 0) {
        printf("kestrel %s\n", KESTREL_VERSION);
        return report_end(0);
    }
    if (option_text('h') || option_text('?') || option_text('/') || option_text('-')) {
        show_usage();
        if (option_text('-') && strcmp(option_text('-'), "help") == 0) printf("%s", more_options);
        return report_end(0);
    }
    if (!linectl_parse()) return 1; // before any port is opened
    if (script_given() && (option_text('e') || option_text('t'))) {
        fprintf(stderr, "A script (-S, -E) runs in the terminal, not with -e or -t\n");
        return 1;
    }
    if (script_given() && !option_text('L') && !option_text('p') && !script_load()) return 1;
    if (option_text('L')) return report_end(PortList());
    if (!network_url_ok()) return 1;
    check_rate_option();
    if (option_text('l')) {
        log_fp = fopen(option_text('l'), "wb");
        if (!log_fp) fprintf(stderr, "WARNING: can't create log file:%s\n", option_text('l'));
        // Unbuffered: a byte shown on the console is already in the file, so a
        // session ended by a signal or a closed window loses none of its log.
        else
            setvbuf(log_fp, nullptr, _IONBF, 0);
    }
    if (option_text('u')) upload_path = option_skip_blanks(option_text('u'));
    if (option_text('U')) upload_path = option_skip_blanks(option_text('U'));
    if (option_text('c')) choose_port(option_text('c'));
    if (option_text('p')) {
        line_fmt = line_format { 8, 'N', 1, 0 }; // the probe's line is always 8N1
        PortScan(com_port, baud_rate, true, true);
        return report_end(0); // the log file, if any, is closed by the process end
    }
    long long rate;
    if (option_text('b')) {
        if (read_rate(option_text('b'), &rate)) baud_rate = (int)rate;
        printf("%d\n", baud_rate);
    }
    if (option_text('d')) debug_flag = true;
    if (option_text('w')) wait_flag = true;
    if (com_port == 0 && !port_name) com_port = PortScan(0, baud_rate, true, false);

    plat_console_init();
    if (option_text('e'))
        EchobackMode(com_port, baud_rate);
    else if (option_text('t'))
        code = Benchmark(com_port, baud_rate);
    else if (script_given())
        code = ScriptMode(com_port, baud_rate);
    else
        TerminalMode(com_port, baud_rate);
    plat_console_restore();

    if (log_fp) fclose(log_fp);
    log_fp = nullptr;
    return code;
}

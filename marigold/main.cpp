// marigold entry: walk the arguments, run one mode.
#include "checksum_word_raw.h"
#include "compare.h"
#include "convert.h"
#include "dump.h"
#include "filter.h"
#include "info.h"
#include "options.h"
#include "output.h"
#include "seal.h"

int main(int argc, char** argv)
{
    if (!walk_arguments(argc, argv)) usage();
    if (option_given('f'))
        filter_start_records();
    else if (option_given('i'))
        out_exit(info_file());
    else if (option_given('x'))
        out_exit(convert_file());
    else if (option_given('K'))
        out_exit(checksum_file());
    else if (option_given('d'))
        out_exit(compare_files());
    else if (option_given('c'))
        out_exit(check_image());
    else if (option_given('w'))
        out_exit(fix_image());
    else
        dump_file();
    out_exit(0);
}

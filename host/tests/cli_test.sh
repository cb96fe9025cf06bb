#!/usr/bin/env bash
# What a run of zvfile loads and says. Each row: the program (a copy of it
# alone in a folder, where no commands module is; the one built; or the one
# built under a file-size limit), the locale variables, the arguments, the
# exit code, words its output must hold, how many lines it writes to
# standard error ("-": any number), and what the run may load: none of the
# tree's libraries (help, version and usage errors), or the commands module
# without the gettext catalogue's library (English), or with it (any other
# language; which variable counts when is the translation service's test).
# Each usage error names what is wrong, at the edges of each value, and
# where to find help; a command line that is right goes on to load the
# module (here, alone, missing: one line and exit 1). A save says what it
# did and nothing else unless asked: -v adds the library's log lines as
# "zvfile: info: ...", -vv where they come from. A file-size limit (ulimit
# -f, 100 KiB) refuses a rewrite that outgrows it like a full disk: exit 1,
# one line naming the design, which is left as it was, and no temporary
# file; the system does not end the program. The demo runs in a private
# folder of its own and leaves nothing behind; in a folder the user gives,
# it overwrites nothing of theirs.
set -euo pipefail
zvfile=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
design=$dir/pump.zvd
failed=0
mkdir "$dir/bin" "$dir/tmp" "$dir/given" "$dir/limited" "$dir/read-only"
cp "$zvfile" "$dir/bin/zvfile"
echo mine >"$dir/given/pump.zvd"
for file in "$design" "$dir/limited/pump.zvd" "$dir/read-only/pump.zvd"; do "$zvfile" save "$file" --objects 3 >/dev/null; done
chmod a-w "$dir/read-only/pump.zvd"
before=$(cksum <"$dir/limited/pump.zvd")
while IFS='|' read -r program variables args code words lines loads; do
  got=0
  program=${program/alone/$dir/bin/zvfile}
  # shellcheck disable=SC2086 # the variables and arguments are words
  ([[ $program != limited ]] || ulimit -f 100
   exec env -u LANGUAGE -u LC_ALL -u LC_MESSAGES -u LANG $variables LD_DEBUG=files "${program/limited/$zvfile}" \
     $args) </dev/null >"$dir/out" 2>"$dir/err" || got=$?
  tree=$(grep -Eo 'file=[^ ]*(Persistence|libzvfileio-|zvfile_commands|sqlite|boost|icu)[^ ]*' "$dir/err" || true)
  said=$(grep -Ev '^ +[0-9]+:' "$dir/err" || true)
  if [[ $got -ne $code ]] || ! grep -qE -- "$words" "$dir/out" <(echo "$said") || [[ $loads == none && -n $tree ]] ||
     [[ $lines != - && $(grep -c . <<<"$said") -ne $lines ]] ||
     { [[ $code -eq 2 ]] && ! grep -qE "^Try 'zvfile( [a-z]+)? --help' for more information\.$" <<<"$said"; } ||
     [[ $loads == module && $tree == *gettext* ]] || [[ $loads == gettext && $tree != *gettext* ]]; then
    echo "$variables $program $args: exit $got (expected $code), loaded: ${tree:-nothing}, output: $(cat "$dir/out") $said" >&2
    failed=1
  fi
done <<TABLE
alone|LC_ALL=C|--help|0|Open, save and inspect design files|0|none
alone|LC_ALL=C|help save|0|zvfile save pump.zvd --objects 1000|0|none
alone|LC_ALL=C|--version|0|^zvfile [0-9.]* \(source revision [0-9a-z-]*\)$|0|none
alone|LC_ALL=C|foo|2|^zvfile: unknown command 'foo'$|2|none
alone|LC_ALL=C||2|^zvfile: a command is required: save, info, autosave, recover, clean, salvage or demo$|2|none
alone|LC_ALL=C|save|2|^zvfile: FILE is required$|2|none
alone|LC_ALL=C|info a.zvd b.zvd|2|^zvfile: unexpected argument: b.zvd$|2|none
alone|LC_ALL=C|save a.zvd --wait|2|^zvfile: --wait needs a value$|2|none
alone|LC_ALL=C|save a.zvd --wait 3600.5|2|^zvfile: --wait: '3600.5' is not a number of seconds from 0 to 3600$|2|none
alone|LC_ALL=C|save a.zvd --wait -1|2|^zvfile: --wait: '-1' is not a number of seconds from 0 to 3600$|2|none
alone|LC_ALL=C|save a.zvd --objects 9223372036854775808|2|^zvfile: --objects: '9223372036854775808' is not a whole number from 0 to 100000000$|2|none
alone|LC_ALL=C|save a.zvd --objects 100000001|2|^zvfile: --objects: '100000001' is not a whole number from 0 to 100000000$|2|none
alone|LC_ALL=C|save a.zvd --objects -1|2|^zvfile: --objects: '-1' is not a whole number from 0 to 100000000$|2|none
alone|LC_ALL=C|save a.zvd --objects abc|2|^zvfile: --objects: 'abc' is not a whole number from 0 to 100000000$|2|none
alone|LC_ALL=C|save a.zvd --mode 2|2|^zvfile: --mode: '2' is not one of overwrite, update-selected, update-all$|2|none
alone|LC_ALL=C|save a.zvd --select valves,foo|2|^zvfile: --select: 'foo' is not one of pipes, valves, pumps, sensors$|2|none
alone|LC_ALL=C|save a.zvd --data-revision-number 3|2|^zvfile: --data-revision-number needs --data-revision$|2|none
alone|LC_ALL=C|save a.zvd --wait 3600 --objects 100000000|1|^zvfile: cannot load its commands|1|module
alone|LC_ALL=C|clean a.zvd --wait 0.25|1|^zvfile: cannot load its commands|1|module
alone|LC_ALL=C|info $design|1|^zvfile: cannot load its commands: $dir/lib/zvfile/zvfile_commands.so: .|1|module
$zvfile|LANG=de_DE.UTF-8|save $dir/.zvd|1|Die Datei muss einen Namen haben|1|gettext
$zvfile|LANGUAGE=de LANG=fr_FR.UTF-8|save $dir/.zvd|1|Die Datei muss einen Namen haben|1|gettext
$zvfile|LANGUAGE=de LC_ALL=C|save $dir/.zvd|1|The file must have a name|1|module
$zvfile|LANG=de_DE.UTF-8|save $dir/read-only/pump.zvd|1|^zvfile: '$dir/read-only/pump.zvd' kann nicht gespeichert werden: Eine schreibgesch|1|gettext
$zvfile|LC_ALL=C|save $design|0|^saved 3 objects|0|module
$zvfile|LC_ALL=C|save -v $design|0|^zvfile: info: Opening file \(version: 3 [^/]*$|-|module
$zvfile|LC_ALL=C|-vv save $design|0|^zvfile: info: Opening file .*\(Platform/Core/Persistence/ZvFileIO/ZvFileIO.cpp:[0-9]+\)$|-|module
limited|LC_ALL=C|save $dir/limited/pump.zvd --objects 100000|1|^zvfile: cannot save '$dir/limited/pump.zvd': |1|module
$zvfile|TMPDIR=$dir/tmp|demo|0|.|-|module
$zvfile|LC_ALL=C|demo $dir/given|1|^zvfile: demo: '.*given' already holds pump.zvd|1|module
TABLE
[[ $(cksum <"$dir/limited/pump.zvd") == "$before" && -z $(ls -A "$dir/tmp") && ! -e $dir/limited/pump.tmp.zvd &&
   $(cat "$dir/given/pump.zvd") == mine ]] || { echo "left: $(ls -AR "$dir")" >&2; failed=1; }
exit $failed

#!/usr/bin/env bash
# zvfile's command line: each row is the arguments after FILE, the exit
# code they must give and words standard error must hold; a usage error
# names what is wrong after "zvfile: ", points to the help and writes no
# file. Then what a run loads: help, version and usage errors none of the
# tree's libraries, a command the commands module (one line and exit 1 when
# it is missing), the gettext catalogue's library only for a language other
# than English; and what a run says: nothing but its result unless asked.
set -euo pipefail
zvfile=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
design=$dir/pump.zvd
failed=0
# What the files hold without the loader's LD_DEBUG lines ("  1234:\t...").
shown() { grep -hEv '^ +[0-9]+:' "$@" || true; }
while IFS='|' read -r args code words; do
  [[ -z $args ]] && continue
  set +e
  # shellcheck disable=SC2086
  "$zvfile" save "$design" $args >/dev/null 2>"$dir/err"
  got=$?
  set -e
  if [[ $got -ne $code ]] || ! grep -q -- "^zvfile: $words" "$dir/err" || [[ -e $design ]] ||
     ! grep -q -- "^Try 'zvfile save --help' for more information.$" "$dir/err"; then
    echo "save FILE $args: exit $got (expected $code), error: $(cat "$dir/err")" >&2
    failed=1
  fi
done <<'TABLE'
--objects 9223372036854775808|2|--objects: '9223372036854775808' is not a whole number from 0 to 100000000$
--objects 100000001|2|--objects: '100000001' is not a whole number
--objects -1|2|--objects: '-1' is not a whole number
--objects abc|2|--objects: 'abc' is not a whole number
--wait -1|2|--wait: '-1' is not a number of seconds from 0 to 3600
--mode 2|2|--mode: '2' is not one of overwrite, update-selected, update-all
--select valves,foo|2|--select: 'foo' is not one of pipes, valves, pumps, sensors
TABLE

# A copy of the program in a folder of its own, where no commands module is.
mkdir "$dir/bin"
cp "$zvfile" "$dir/bin/zvfile"
alone=$dir/bin/zvfile
while IFS='|' read -r args code words; do
  [[ -z $args$code ]] && continue
  set +e
  # shellcheck disable=SC2086
  LC_ALL=C LD_DEBUG=files "$alone" $args >"$dir/out" 2>"$dir/err"
  got=$?
  set -e
  loaded=$(grep -Eo 'file=[^ ]*(Persistence|Services_|zvfile_commands|sqlite|boost|icu)[^ ]*' "$dir/err" || true)
  if [[ $got -ne $code ]] || ! grep -q -- "$words" "$dir/out" "$dir/err" || [[ -n $loaded && $code -ne 1 ]]; then
    echo "zvfile $args without its module: exit $got (expected $code), loaded: ${loaded:-nothing}," \
         "output: $(shown "$dir/out" "$dir/err")" >&2
    failed=1
  fi
done <<TABLE
--help|0|Open, save and inspect design files
help save|0|zvfile save pump.zvd --objects 1000
--version|0|^zvfile [0-9.]* (source revision [0-9a-z-]*)$
save|2|^zvfile: FILE is required
foo|2|^zvfile: unknown command 'foo'
|2|^zvfile: a command is required
info $design|1|^zvfile: cannot load its commands: $dir/lib/zvfile/zvfile_commands.so: .
TABLE
"$alone" info "$design" 2>"$dir/err" || true
if [[ $(wc -l <"$dir/err") -ne 1 ]]; then
  echo "a missing module is not one line: $(cat "$dir/err")" >&2
  failed=1
fi

# The locale variables, the refusal of a file without a name in the language
# they select, and whether the gettext catalogue's library was loaded.
while IFS='|' read -r variables words gettext; do
  [[ -z $variables ]] && continue
  set +e
  # shellcheck disable=SC2086
  env -u LANGUAGE -u LC_ALL -u LC_MESSAGES -u LANG $variables LD_DEBUG=files \
    "$zvfile" save "$dir/.zvd" >/dev/null 2>"$dir/err"
  got=$?
  set -e
  loaded=no
  grep -q 'file=[^ ]*Services_TranslationGettext' "$dir/err" && loaded=yes
  if [[ $got -ne 1 ]] || ! grep -q -- "$words" "$dir/err" || [[ $loaded != "$gettext" ]]; then
    echo "$variables zvfile save: exit $got, gettext loaded: $loaded (expected $gettext), error: $(shown "$dir/err")" >&2
    failed=1
  fi
done <<'TABLE'
LANGUAGE=de LANG=fr_FR.UTF-8|Die Datei muss einen Namen haben|yes
LANG=de_DE.UTF-8|Die Datei muss einen Namen haben|yes
LANGUAGE=en_GB:de LANG=de_DE.UTF-8|The file must have a name|no
LANGUAGE=de LC_ALL=C|The file must have a name|no
LANGUAGE=de|The file must have a name|no
TABLE

# Quiet unless asked: a save says what it did and nothing else; -v adds the
# library's log lines as "zvfile: info: ...", -vv where they come from.
# Every sentence of a refusal is in the language asked for.
check() { # check <what> <file> <extended regex it must match> [not: must not]
  local found=no
  grep -qE -- "$3" "$2" && found=yes
  if [[ $found == yes && ${4:-} == not || $found == no && ${4:-} != not ]]; then
    echo "$1: $(cat "$2")" >&2
    failed=1
  fi
}
"$zvfile" save "$design" --objects 3 >/dev/null 2>&1
LC_ALL=C "$zvfile" save "$design" >/dev/null 2>"$dir/err"
[[ -s $dir/err ]] && { echo "a save writes to standard error unasked: $(cat "$dir/err")" >&2; failed=1; }
LC_ALL=C "$zvfile" save -v "$design" >/dev/null 2>"$dir/err"
check "-v" "$dir/err" "^zvfile: info: Opening file \(version: 3 "
check "-v" "$dir/err" "ZvFileIO.cpp:" not
LC_ALL=C "$zvfile" -vv save "$design" >/dev/null 2>"$dir/err"
check "-vv" "$dir/err" "^zvfile: info: Opening file .*\(Platform/Core/Persistence/ZvFileIO/ZvFileIO.cpp:[0-9]+\)$"
chmod a-w "$design"
for variables in LC_ALL=C LANG=de_DE.UTF-8; do
  # shellcheck disable=SC2086
  env -u LANGUAGE -u LC_ALL -u LC_MESSAGES -u LANG $variables "$zvfile" save "$design" >/dev/null 2>"$dir/err" || true
  [[ $(wc -l <"$dir/err") -eq 1 ]] || { echo "$variables: a refusal is not one line: $(cat "$dir/err")" >&2; failed=1; }
done
check "German refusal" "$dir/err" "^zvfile: '.*pump.zvd' kann nicht gespeichert werden: Eine schreibgesch"
chmod u+w "$design"

# A file-size limit (ulimit -f, 100 KiB) refuses a rewrite that outgrows
# it like a full disk: exit 1, one line naming the design, which is left as
# it was, and no temporary file; the system does not end the program.
before=$(cksum <"$design")
got=0
(ulimit -f 100 && LC_ALL=C exec "$zvfile" save "$design" --objects 100000) >/dev/null 2>"$dir/err" || got=$?
if [[ $got -ne 1 || $(wc -l <"$dir/err") -ne 1 || $(cksum <"$design") != "$before" || -e $dir/pump.tmp.zvd ]]; then
  echo "a save past the file-size limit: exit $got, left: $(ls "$dir"), error: $(cat "$dir/err")" >&2
  failed=1
fi
check "save past the file-size limit" "$dir/err" "^zvfile: cannot save '$design': "

# The demo runs in a private folder of its own and leaves nothing behind; in
# a folder the user gives, it overwrites nothing of theirs.
mkdir "$dir/tmp" "$dir/given"
echo mine >"$dir/given/pump.zvd"
TMPDIR=$dir/tmp "$zvfile" demo >/dev/null 2>"$dir/err" || { echo "demo failed: $(cat "$dir/err")" >&2; failed=1; }
[[ -z $(ls -A "$dir/tmp") ]] || { echo "demo left $(ls -A "$dir/tmp")" >&2; failed=1; }
LC_ALL=C "$zvfile" demo "$dir/given" >/dev/null 2>"$dir/err" && failed=1
check "demo in a used folder" "$dir/err" "^zvfile: demo: '.*given' already holds pump.zvd"
[[ $(cat "$dir/given/pump.zvd") == mine ]] || { echo "demo overwrote the user's file" >&2; failed=1; }
exit $failed


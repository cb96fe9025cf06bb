#!/usr/bin/env bash
# zvfile's command line: each row is the arguments after FILE, the exit
# code they must give and words standard error must hold. Nothing may be
# written for a usage error. Then what a run loads: help and usage errors
# none of the tree's libraries, a command the commands module (one line and
# exit 1 when it is missing), the gettext catalogue's library only for a
# language other than English.
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
  if [[ $got -ne $code ]] || ! grep -q -- "$words" "$dir/err" || [[ -e $design ]]; then
    echo "save FILE $args: exit $got (expected $code), error: $(cat "$dir/err")" >&2
    failed=1
  fi
done <<'TABLE'
--objects 9223372036854775808|2|not in range 0 to 100000000
--objects 100000001|2|not in range 0 to 100000000
--objects -1|2|not in range
--wait -1|2|not in range
TABLE

# A copy of the program in a folder of its own, where no commands module is.
mkdir "$dir/bin"
cp "$zvfile" "$dir/bin/zvfile"
alone=$dir/bin/zvfile
while IFS='|' read -r args code words; do
  [[ -z $args ]] && continue
  set +e
  # shellcheck disable=SC2086
  LD_DEBUG=files "$alone" $args >"$dir/out" 2>"$dir/err"
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
save|2|FILE is required
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
exit $failed

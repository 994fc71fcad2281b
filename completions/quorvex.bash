# bash completion for quorvex
_quorvex() {
  local cur prev
  COMPREPLY=()
  cur=${COMP_WORDS[COMP_CWORD]}
  prev=${COMP_WORDS[COMP_CWORD-1]}
  case $prev in
    -o|--output)
      COMPREPLY=($(compgen -f -- "$cur"))
      return ;;
    --codec)
      COMPREPLY=($(compgen -W "auto stored bwt lz cm audio" -- "$cur"))
      return ;;
    -S|--stage)
      COMPREPLY=($(compgen -W "local-matches= history-matches= word-runs= delta= text= branch-targets=" -- "$cur"))
      [[ $cur == *=* ]] && COMPREPLY=($(compgen -P "${cur%%=*}=" -W "never auto always" -- "${cur#*=}"))
      compopt -o nospace 2>/dev/null
      return ;;
    -b|--block-size|--memlimit|-T|--threads)
      return ;;
  esac
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "-d --decompress -z --compress -t --test -l --list -o --output -c --stdout -f --force -k --keep
      --salvage --memlimit -T --threads -1 -2 -3 -4 -5 -6 -7 -8 -9 --fast --best --codec -b --block-size -S --stage
      -q --quiet -v --verbose -h --help -V --version" -- "$cur"))
    return
  fi
  # Archives to decode, test or list; any file to create from.
  local word creating=0
  for word in "${COMP_WORDS[@]}"; do
    [[ $word == -z || $word == --compress || ( $word == -[!-]* && $word == *z* ) ]] && creating=1
  done
  if ((creating)); then
    COMPREPLY=($(compgen -f -- "$cur"))
  else
    COMPREPLY=($(compgen -f -X '!*.qvx' -- "$cur") $(compgen -d -- "$cur"))
  fi
}
complete -o filenames -F _quorvex quorvex

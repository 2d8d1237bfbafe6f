# fish completion for vyx(1)

set -l commands encrypt decrypt genkey

complete -c vyx -f
complete -c vyx -n "not __fish_seen_subcommand_from $commands" -a encrypt -d 'Encrypt each FILE'
complete -c vyx -n "not __fish_seen_subcommand_from $commands" -a decrypt -d 'Decrypt each FILE'
complete -c vyx -n "not __fish_seen_subcommand_from $commands" -a genkey -d 'Print a fresh key'
complete -c vyx -n "not __fish_seen_subcommand_from $commands" -l version -d 'Show the version'
complete -c vyx -s h -l help -d 'Show the help'

set -l data "__fish_seen_subcommand_from encrypt decrypt"
complete -c vyx -n $data -F
complete -c vyx -n $data -s k -l key-file -r -F -d 'Read the key from the first line of KEYFILE'
complete -c vyx -n $data -s o -l output -r -F -d 'Write to OUTPUT instead'
complete -c vyx -n $data -s f -l force -d 'Replace outputs that exist'
complete -c vyx -n $data -s r -l recursive -d 'Take the files of folders'
complete -c vyx -n $data -s n -l dry-run -d 'Print FILE -> OUTPUT, do nothing'
complete -c vyx -n $data -s v -l verbose -d 'Name every file that -r skips'
complete -c vyx -n $data -s q -l quiet -d 'No progress, no line per finished file'

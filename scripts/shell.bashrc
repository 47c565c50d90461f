# Start-up file of the shell that scripts/shell.sh opens inside a private
# platform. The user's own ~/.bashrc is not read, so that every such shell
# starts out alike.
PATH=$QUELLIX_BIN:$PATH
. "$QUELLIX_COMPLETION"
# The repository's manual pages before the others. An empty MANPATH entry
# (here the one after the colon when MANPATH was unset) stands for the
# system's search path, so the system's pages are still found.
export MANPATH=$QUELLIX_MAN:${MANPATH-}
unset QUELLIX_BIN QUELLIX_COMPLETION QUELLIX_MAN
PS1='[quellix shell] \w\$ '

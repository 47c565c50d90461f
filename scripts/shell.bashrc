# Start-up file of the shell that scripts/shell.sh opens inside a private
# platform. The user's own ~/.bashrc is not read, so that every such shell
# starts out alike.
PATH=$QUELLIX_BIN:$PATH
. "$QUELLIX_COMPLETION"
unset QUELLIX_BIN QUELLIX_COMPLETION
PS1='[quellix shell] \w\$ '

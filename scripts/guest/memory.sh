# The memory table (scripts/arm-system.sh --memory): the driver's inputs
# on the ext4 root, then each case in a fresh process.
driver="$(dirname "$(cat /tandel/powercut-program)")/memdriver"
rm -rf /tmp/memory
mkdir -p /tmp/memory
"$driver" make /tmp/memory || echo "memdriver: make failed"
sync
for case in list-small list-large requests merge decode print; do
    "$driver" "$case" /tmp/memory
done
rm -rf /tmp/memory

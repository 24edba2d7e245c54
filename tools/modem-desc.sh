# Sourced by the scripts that build a modem container with imgpack.
# modem_image_lines prints the nine image lines of a modem description, in
# the order the modem takes them, for files made under files/modem/ as
# prog.hex and <type>.mbn.
modem_image_lines() {
    local t
    printf 'image %-9s files/modem/prog.hex\n' hex
    for t in partition dbl fsbl osbl amss dsp1 dsp2 efs; do
        printf 'image %-9s files/modem/%s.mbn\n' "$t" "$t"
    done
}

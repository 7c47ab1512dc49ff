my $i = 0; my $s = ""; my $n = 0;
while ($i < 200000) {
    my $t = $s . "-" . $i;
    my $start = length($t) - 40; $start = 0 if $start < 0;
    $s = substr($t, $start, 40);
    $n = $n + (index($s, "99") + 1) + length($s);
    $i = $i + 1;
}
print "$n $s\n";

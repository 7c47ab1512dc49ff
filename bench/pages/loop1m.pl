my $i = 0; my $total = 0; my $label;
while ($i < 1000000) { $total = $total + $i * 2; $label = "item-" . $i; $i = $i + 1; }
print "$total $label\n";

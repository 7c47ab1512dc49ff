<?php
// The same work as tables.kp, with SQLite through PHP.
$db = new SQLite3(getenv('BENCH_DB'));
$db->exec('CREATE TABLE t (id INTEGER, name TEXT); CREATE INDEX t_id ON t (id); CREATE INDEX t_name ON t (name);');
$db->exec('BEGIN');
$insert = $db->prepare('INSERT INTO t VALUES (:id, :name)');
for ($i = 0; $i < 10000; $i++) {
    $id = ($i * 7919) % 10000;
    $insert->bindValue(':id', $id);
    $insert->bindValue(':name', "name $id");
    $insert->execute();
    $insert->reset();
}
$db->exec('COMMIT');
$find = $db->prepare('SELECT name FROM t WHERE id = :id');
$found = 0;
for ($i = 0; $i < 10000; $i++) {
    $find->bindValue(':id', ($i * 104729) % 10000);
    $r = $find->execute();
    if ($r->fetchArray()) $found++;
    $find->reset();
}
$walked = 0;
$r = $db->query('SELECT id, name FROM t ORDER BY id');
while ($r->fetchArray()) $walked++;
echo "found $found walked $walked\n";
